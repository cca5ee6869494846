# The built-in word dictionary: data/dict_words.txt is packed at build time
# by tools/dict_pack.cpp into a NUL-separated pool, an offset table and a
# first-code-point index, which src/embed/dict_data.S embeds with .incbin.
# No download, no extra package.
set(MORVADB_DICT_DIR ${CMAKE_BINARY_DIR}/generated/dict)
set(MORVADB_DICT_OUTPUTS ${MORVADB_DICT_DIR}/dict_pool.bin ${MORVADB_DICT_DIR}/dict_offsets.bin
  ${MORVADB_DICT_DIR}/dict_first.bin)

add_executable(dict_pack ${PROJECT_SOURCE_DIR}/tools/dict_pack.cpp)
add_custom_command(
  OUTPUT ${MORVADB_DICT_OUTPUTS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${MORVADB_DICT_DIR}
  COMMAND dict_pack ${PROJECT_SOURCE_DIR}/data/dict_words.txt ${MORVADB_DICT_DIR}
  DEPENDS dict_pack ${PROJECT_SOURCE_DIR}/data/dict_words.txt
  COMMENT "Packing the word dictionary"
  VERBATIM)
add_custom_target(dict_data DEPENDS ${MORVADB_DICT_OUTPUTS})
add_dependencies(morvadb_objects dict_data)
set_source_files_properties(${PROJECT_SOURCE_DIR}/src/embed/dict_data.S PROPERTIES
  OBJECT_DEPENDS "${MORVADB_DICT_OUTPUTS}"
  COMPILE_DEFINITIONS "MORVADB_DICT_POOL_BIN=\"${MORVADB_DICT_DIR}/dict_pool.bin\";MORVADB_DICT_OFFSETS_BIN=\"${MORVADB_DICT_DIR}/dict_offsets.bin\";MORVADB_DICT_FIRST_BIN=\"${MORVADB_DICT_DIR}/dict_first.bin\"")

/* The built-in word dictionary as three exported read-only data objects.
 * The blobs are packed from data/dict_words.txt at build time; their paths
 * come from the build as MORVADB_DICT_*_BIN definitions.
 * dict_count is derived from the size of the offset table so the three can
 * never disagree. */

    .section .rodata.morvadb_dict, "a"

    .globl dict_pool
    .type dict_pool, @object
    .p2align 6
dict_pool:
    .incbin MORVADB_DICT_POOL_BIN
.Ldict_pool_end:
    .size dict_pool, .Ldict_pool_end - dict_pool

    .globl dict_offsets
    .type dict_offsets, @object
    .p2align 6
dict_offsets:
    .incbin MORVADB_DICT_OFFSETS_BIN
.Ldict_offsets_end:
    .size dict_offsets, .Ldict_offsets_end - dict_offsets

    .globl dict_count
    .type dict_count, @object
    .p2align 2
dict_count:
    .long (.Ldict_offsets_end - dict_offsets) / 4
    .size dict_count, 4

    /* Private to the library: where the words starting with each BMP code
     * point begin (65,537 entries), so a lookup starts from that run
     * instead of the whole list. */
    .globl morvadb_dict_first_index
    .hidden morvadb_dict_first_index
    .type morvadb_dict_first_index, @object
    .p2align 6
morvadb_dict_first_index:
    .incbin MORVADB_DICT_FIRST_BIN
.Ldict_first_end:
    .size morvadb_dict_first_index, .Ldict_first_end - morvadb_dict_first_index

    .section .note.GNU-stack, "", @progbits

// Typed text values <-> the library's row layout.
//
// A row is the concatenation of its column values in column order, native
// (little-endian) byte order, no header or padding; strings and blobs carry a
// 4-byte signed length prefix. The shell and the importer accept values as
// text and encode them here; query results are decoded here for printing.
// Nothing in this file calls the library, so it is tested on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morva::cli {

// Column type code for a type name such as "int32", "string" or "bool"
// (case-insensitive, with a few common aliases); -1 when unknown.
int32_t parse_type_name(std::string_view name);
// The canonical name of a column type code ("int32" ...), "type<N>" otherwise.
std::string type_name(int32_t type);
// Whether the type's values are printed right-aligned (numbers).
bool is_numeric_type(int32_t type);

// Encodes one value given as text into its stored form (length prefix
// included for strings and blobs) and appends it to out. On a value that
// does not fit the type returns false with a message in error.
bool encode_value(int32_t type, std::string_view text, std::string &out, std::string &error);

// Encodes a whole row; values.size() must equal types.size().
bool encode_row(const std::vector<int32_t> &types, const std::vector<std::string> &values, std::string &out,
                std::string &error);

// One column's bytes inside an encoded row, without a length prefix.
// Absent (nullopt) when the row ends before the value or a length prefix is
// negative or runs past the row, as the library reads rows.
std::optional<std::string_view> extract_value(const std::vector<int32_t> &types, size_t column, std::string_view row);

// Human-readable text of a stored value (as extract_value returns it).
std::string format_value(int32_t type, std::string_view value);

// The key a row is stored under when its key column holds value: the value
// as decimal text for integer columns, its raw bytes for every other type,
// followed by a NUL byte. A join looks joined rows up under exactly this key.
std::string row_key(int32_t type, std::string_view value);

}  // namespace morva::cli

// Column layout of encoded table rows: the widths of each column type and
// the walk that finds one column's bytes inside a row. A row is the
// concatenation of its column values; fixed-width values are stored raw and
// strings/blobs carry a 4-byte signed length prefix. Values that do not lie
// wholly inside the row are absent, and so is every column after them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "morvadb.h"

namespace morva {

constexpr int32_t kMaxColumns = ROW_MAX_COLUMNS;
constexpr int32_t kLengthPrefixSize = 4;

// Width of a fixed-width column type, or 0 for the length-prefixed ones
// (strings, blobs and every unknown code).
inline int32_t column_fixed_width(uint32_t type) {
    switch (type) {
    case COL_INT32:
    case COL_FLOAT: return 4;
    case COL_INT64:
    case COL_DOUBLE: return 8;
    case COL_BOOL: return 1;
    default: return 0;
    }
}

// One located value: a pointer into the row and its length in bytes.
struct ColumnValue {
    const uint8_t *data = nullptr;
    int32_t length = 0;
    bool present() const { return data != nullptr; }
};

// Finds column `column` of a row whose columns have the given widths
// (width(i) > 0 fixed, 0 length-prefixed, < 0 malformed). Absent when the
// value or any earlier length prefix does not lie wholly inside the row.
template <typename WidthOf>
ColumnValue locate_column(WidthOf width, int32_t column, const uint8_t *row, uint64_t row_len) {
    if (row == nullptr || column < 0 || column >= kMaxColumns) return {};
    uint64_t pos = 0;
    for (int32_t i = 0;; ++i) {
        int32_t w = width(i);
        if (w < 0) return {};
        if (w > 0) {
            if (static_cast<uint64_t>(w) > row_len - pos) return {};
            if (i == column) return {row + pos, w};
            pos += static_cast<uint64_t>(w);
            continue;
        }
        if (kLengthPrefixSize > row_len - pos) return {};
        int32_t len;
        std::memcpy(&len, row + pos, sizeof len);
        pos += kLengthPrefixSize;
        // A negative or overlong prefix makes this value and all later ones
        // unreadable: there is no way to find where the next value starts.
        if (len < 0 || static_cast<uint64_t>(len) > row_len - pos) return {};
        if (i == column) return {row + pos, len};
        pos += static_cast<uint64_t>(len);
    }
}

// Locates a column from the type codes of a table (count clamped to 64).
inline ColumnValue locate_typed_column(const uint32_t *types, int32_t count, int32_t column, const uint8_t *row,
                                       uint64_t row_len) {
    if (column < 0 || column >= count) return {};
    return locate_column([types](int32_t i) { return column_fixed_width(types[i]); }, column, row, row_len);
}

}  // namespace morva

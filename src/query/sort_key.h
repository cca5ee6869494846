// Sort keys of query rows and the order they define, shared by the sort
// stage and the top-k selection of a sorted, limited scan.
//
// The order is a strict weak ordering on every input: rows without a
// comparable value (the column absent, a blob or unknown type, a NaN) are
// kept apart and placed after the others in scan order, and ties are broken
// by scan position, so results are deterministic.
#pragma once

#include <cstdint>
#include <cstring>

#include "morvadb.h"
#include "query/row.h"

namespace morva {

struct SortKey {
    int64_t row;          // position in scan order
    int64_t integer;      // ints and bools
    double real;          // floats and doubles
    const uint8_t *text;  // strings
    int32_t text_len;
};

enum class KeyKind { kInteger, kReal, kText, kNone };

inline KeyKind kind_of(uint32_t type) {
    switch (type) {
    case COL_INT32:
    case COL_INT64:
    case COL_BOOL: return KeyKind::kInteger;
    case COL_FLOAT:
    case COL_DOUBLE: return KeyKind::kReal;
    case COL_STRING: return KeyKind::kText;
    default: return KeyKind::kNone;
    }
}

// Reads the sort key of one value; false when it has no place in the order.
inline bool read_key(uint32_t type, const ColumnValue &v, SortKey *key) {
    switch (type) {
    case COL_INT32: {
        int32_t x;
        std::memcpy(&x, v.data, sizeof x);
        key->integer = x;
        return true;
    }
    case COL_INT64:
        std::memcpy(&key->integer, v.data, sizeof key->integer);
        return true;
    case COL_BOOL:
        key->integer = v.data[0];  // raw byte: two different nonzero bytes differ
        return true;
    case COL_FLOAT: {
        float x;
        std::memcpy(&x, v.data, sizeof x);
        key->real = x;
        return key->real == key->real;
    }
    case COL_DOUBLE:
        std::memcpy(&key->real, v.data, sizeof key->real);
        return key->real == key->real;
    case COL_STRING:
        key->text = v.data;
        key->text_len = v.length;
        return true;
    default:
        return false;
    }
}

inline int compare_keys(KeyKind kind, const SortKey &a, const SortKey &b) {
    switch (kind) {
    case KeyKind::kInteger: return a.integer < b.integer ? -1 : (a.integer > b.integer ? 1 : 0);
    case KeyKind::kReal: return a.real < b.real ? -1 : (a.real > b.real ? 1 : 0);
    case KeyKind::kText: {
        int32_t n = a.text_len < b.text_len ? a.text_len : b.text_len;
        int c = n > 0 ? std::memcmp(a.text, b.text, static_cast<size_t>(n)) : 0;
        if (c != 0) return c;
        return a.text_len < b.text_len ? -1 : (a.text_len > b.text_len ? 1 : 0);
    }
    default: return 0;
    }
}

// Sort order of two comparable keys: by value in the wanted direction, then
// by position (scan order) in both directions.
struct SortOrder {
    KeyKind kind;
    bool ascending;
    bool operator()(const SortKey &a, const SortKey &b) const {
        int c = compare_keys(kind, a, b);
        if (c != 0) return ascending ? c < 0 : c > 0;
        return a.row < b.row;
    }
};

}  // namespace morva

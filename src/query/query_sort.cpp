// The sort stage. Sort keys are extracted once per row, then a permutation
// of row indices is sorted and the row arrays are rebuilt once.
//
// The comparator is a strict weak ordering on every input: rows without a
// comparable value (the column absent, a blob or unknown type, a NaN) are
// set apart and appended after the sorted ones in scan order, and ties are
// broken by scan position, so the result is deterministic.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "query/query_exec.h"
#include "query/row.h"

namespace morva {
namespace {

struct SortKey {
    int32_t row;
    int64_t integer;      // ints and bools
    double real;          // floats and doubles
    const uint8_t *text;  // strings
    int32_t text_len;
};

enum class KeyKind { kInteger, kReal, kText, kNone };

KeyKind kind_of(uint32_t type) {
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
bool read_key(uint32_t type, const ColumnValue &v, SortKey *key) {
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

int compare_keys(KeyKind kind, const SortKey &a, const SortKey &b) {
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

}  // namespace

void sort_rows(result_set *rs, int32_t column, bool ascending) {
    const int32_t n = rs->stored_rows;
    const uint32_t type = rs->column_types[column];
    const KeyKind kind = kind_of(type);
    int32_t count = rs->column_count < ROW_MAX_COLUMNS ? rs->column_count : ROW_MAX_COLUMNS;
    try {
        std::vector<SortKey> keyed, unordered;
        keyed.reserve(static_cast<size_t>(n));
        for (int32_t r = 0; r < n; ++r) {
            SortKey key{r, 0, 0.0, nullptr, 0};
            ColumnValue v = locate_typed_column(rs->column_types, count, column, rs->rows[r], rs->row_lengths[r]);
            if (kind != KeyKind::kNone && v.present() && read_key(type, v, &key))
                keyed.push_back(key);
            else
                unordered.push_back(key);
        }
        std::sort(keyed.begin(), keyed.end(), [kind, ascending](const SortKey &a, const SortKey &b) {
            int c = compare_keys(kind, a, b);
            if (c != 0) return ascending ? c < 0 : c > 0;
            return a.row < b.row;
        });
        keyed.insert(keyed.end(), unordered.begin(), unordered.end());

        auto *rows = static_cast<uint8_t **>(std::malloc(static_cast<size_t>(rs->capacity) * sizeof(uint8_t *)));
        auto *lengths = static_cast<uint64_t *>(std::malloc(static_cast<size_t>(rs->capacity) * sizeof(uint64_t)));
        if (rows == nullptr || lengths == nullptr) {
            std::free(rows);
            std::free(lengths);
            return;
        }
        for (int32_t i = 0; i < n; ++i) {
            rows[i] = rs->rows[keyed[static_cast<size_t>(i)].row];
            lengths[i] = rs->row_lengths[keyed[static_cast<size_t>(i)].row];
        }
        std::free(rs->rows);
        std::free(rs->row_lengths);
        rs->rows = rows;
        rs->row_lengths = lengths;
    } catch (const std::bad_alloc &) {
        // Scan order stays.
    }
}

}  // namespace morva

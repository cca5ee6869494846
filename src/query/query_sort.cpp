// The sort stage. Sort keys are extracted once per row, then a permutation
// of row indices is sorted and the row arrays are rebuilt once.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "query/query_exec.h"
#include "query/row.h"
#include "query/sort_key.h"

namespace morva {

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
        std::sort(keyed.begin(), keyed.end(), SortOrder{kind, ascending});
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

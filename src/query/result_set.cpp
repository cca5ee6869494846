// Result set storage and cursor access.
#include "query/result_set.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "query/row.h"

namespace morva {
namespace {

constexpr const char *kDocIdColumn = "doc_id";
constexpr const char *kScoreColumn = "score";

// Makes room for one more row. Each array that was grown stays in use even
// when growing the other fails; capacity only moves once both have room.
bool reserve_row_slot(result_set *rs) {
    if (rs->stored_rows < 0 || rs->stored_rows == INT32_MAX) return false;
    if (rs->rows != nullptr && rs->row_lengths != nullptr && rs->stored_rows < rs->capacity) return true;
    int64_t wanted = rs->capacity <= 0 ? kInitialRowSlots : int64_t{rs->capacity} * 2;
    if (wanted > INT32_MAX) wanted = INT32_MAX;
    if (wanted <= rs->stored_rows) return false;
    auto *rows = static_cast<uint8_t **>(std::realloc(rs->rows, static_cast<size_t>(wanted) * sizeof(uint8_t *)));
    if (rows == nullptr) return false;
    rs->rows = rows;
    auto *lengths = static_cast<uint64_t *>(std::realloc(rs->row_lengths, static_cast<size_t>(wanted) * sizeof(uint64_t)));
    if (lengths == nullptr) return false;
    rs->row_lengths = lengths;
    rs->capacity = static_cast<int32_t>(wanted);
    return true;
}

ColumnValue stored_row_column(const result_set *rs, int32_t row, int32_t column) {
    if (rs->rows == nullptr || rs->row_lengths == nullptr || row < 0 || row >= rs->stored_rows) return {};
    int32_t count = rs->column_count < kMaxColumns ? rs->column_count : kMaxColumns;
    return locate_typed_column(rs->column_types, count, column, rs->rows[row], rs->row_lengths[row]);
}

}  // namespace

result_set *result_set_create() {
    auto *rs = static_cast<result_set *>(std::calloc(1, sizeof(result_set)));
    if (rs != nullptr) rs->cursor = -1;
    return rs;
}

result_set *result_set_create_search(const int64_t *ids, const double *scores, int32_t count) {
    if (count < 0) return nullptr;
    result_set *rs = result_set_create();
    if (rs == nullptr) return nullptr;
    size_t n = count > 0 ? static_cast<size_t>(count) : 1;
    rs->ids = static_cast<int64_t *>(std::malloc(n * sizeof(int64_t)));
    rs->scores = static_cast<double *>(std::malloc(n * sizeof(double)));
    if (rs->ids == nullptr || rs->scores == nullptr) {
        rs_close(rs);
        return nullptr;
    }
    if (count > 0) {
        std::memcpy(rs->ids, ids, static_cast<size_t>(count) * sizeof(int64_t));
        std::memcpy(rs->scores, scores, static_cast<size_t>(count) * sizeof(double));
    }
    rs->search_mode = 1;
    rs->row_count = count;
    rs->column_count = 2;
    rs->column_types[0] = COL_INT64;
    rs->column_types[1] = COL_DOUBLE;
    rs->column_names[0] = kDocIdColumn;
    rs->column_names[1] = kScoreColumn;
    return rs;
}

bool result_set_adopt_row(result_set *rs, uint8_t *row, uint64_t len) {
    if (!reserve_row_slot(rs)) return false;
    rs->rows[rs->stored_rows] = row;
    rs->row_lengths[rs->stored_rows] = len;
    ++rs->stored_rows;
    return true;
}

}  // namespace morva

extern "C" {

MORVADB_API int32_t rs_add_row(result_set *rs, const void *row, size_t len) {
    if (rs == nullptr || (row == nullptr && len > 0)) return DB_ERR_INVALID;
    auto *copy = static_cast<uint8_t *>(std::malloc(len > 0 ? len : 1));
    if (copy == nullptr) return DB_ERR_NOMEM;
    if (len > 0) std::memcpy(copy, row, len);
    if (!morva::result_set_adopt_row(rs, copy, len)) {
        std::free(copy);
        return DB_ERR_NOMEM;
    }
    return DB_OK;
}

MORVADB_API int32_t rs_next(result_set *rs) {
    if (rs == nullptr) return 0;
    int64_t next = int64_t{rs->cursor} + 1;
    if (next < rs->row_count) {
        rs->cursor = static_cast<int32_t>(next);
        return 1;
    }
    // Parked on row_count: every later call keeps answering "no more rows".
    rs->cursor = rs->row_count;
    return 0;
}

MORVADB_API int32_t rs_get_column(result_set *rs, int32_t column, const void **out_data, uint64_t *out_len) {
    if (rs == nullptr || out_data == nullptr || out_len == nullptr || column < 0 || column >= rs->column_count)
        return DB_ERR_INVALID;
    *out_data = nullptr;
    *out_len = 0;
    int32_t row = rs->cursor;
    if (row < 0 || row >= rs->row_count) return DB_OK;
    if (rs->search_mode) {
        if (column == 0 && rs->ids != nullptr) {
            *out_data = &rs->ids[row];
            *out_len = sizeof(int64_t);
        } else if (column == 1 && rs->scores != nullptr) {
            *out_data = &rs->scores[row];
            *out_len = sizeof(double);
        }
        return DB_OK;
    }
    morva::ColumnValue v = morva::stored_row_column(rs, row, column);
    if (v.present()) {
        *out_data = v.data;
        *out_len = static_cast<uint64_t>(v.length);
    }
    return DB_OK;
}

MORVADB_API const void *rs_get_row_column(result_set *rs, int32_t row, int32_t column, uint64_t *out_len) {
    if (out_len != nullptr) *out_len = 0;
    if (rs == nullptr || column < 0 || column >= rs->column_count) return nullptr;
    morva::ColumnValue v = morva::stored_row_column(rs, row, column);
    if (!v.present()) return nullptr;
    if (out_len != nullptr) *out_len = static_cast<uint64_t>(v.length);
    return v.data;
}

MORVADB_API uint32_t rs_get_column_type(result_set *rs, int32_t column) {
    if (rs == nullptr || column < 0 || column >= rs->column_count || column >= morva::kMaxColumns) return 0;
    return rs->column_types[column];
}

MORVADB_API int32_t rs_num_columns(result_set *rs) { return rs == nullptr ? 0 : rs->column_count; }

MORVADB_API void rs_close(result_set *rs) {
    if (rs == nullptr) return;
    std::free(rs->ids);
    std::free(rs->scores);
    if (rs->rows != nullptr)
        for (int32_t i = 0; i < rs->stored_rows; ++i) std::free(rs->rows[i]);
    std::free(rs->rows);
    std::free(rs->row_lengths);
    std::free(rs);
}

}  // extern "C"

// The query builder: a host-side description of one query (table,
// condition tree, sort key, limit, join) that qb_exec runs.
#include <cstdlib>
#include <cstring>

#include "morvadb.h"
#include "query/query_exec.h"

namespace morva {
namespace {

void set_name(char (&field)[QB_NAME_SIZE], const char *name) {
    size_t n = strnlen(name, QB_NAME_SIZE - 1);
    std::memcpy(field, name, n);
    field[n] = '\0';
}

}  // namespace
}  // namespace morva

extern "C" {

MORVADB_API query_builder *db_query(db_handle *db, const char *table) {
    if (db == nullptr || table == nullptr) return nullptr;
    auto *qb = static_cast<query_builder *>(std::calloc(1, sizeof(query_builder)));
    if (qb == nullptr) return nullptr;
    qb->db = db;
    morva::set_name(qb->table, table);
    return qb;
}

MORVADB_API int32_t qb_from(query_builder *qb, const char *table) {
    if (qb == nullptr || table == nullptr) return DB_ERR_INVALID;
    morva::set_name(qb->table, table);
    return DB_OK;
}

MORVADB_API int32_t qb_filter(query_builder *qb, const char *column, const char *op, const char *value) {
    if (qb == nullptr || column == nullptr || op == nullptr || value == nullptr) return DB_ERR_INVALID;
    condition *leaf = qb_cond(qb, column, op, value);
    if (leaf == nullptr) return DB_ERR_NOMEM;
    if (qb->condition == nullptr) {
        qb->condition = leaf;
        return DB_OK;
    }
    // Successive filters form a left-deep conjunction in call order.
    condition *both = qb_cond_and(qb, qb->condition, leaf);
    if (both == nullptr) {
        condition_destroy(leaf);
        return DB_ERR_NOMEM;
    }
    qb->condition = both;
    return DB_OK;
}

MORVADB_API int32_t qb_where(query_builder *qb, condition *cond) {
    if (qb == nullptr || cond == nullptr) return DB_ERR_INVALID;
    if (qb->condition != cond) {
        condition_destroy(qb->condition);
        qb->condition = cond;
    }
    return DB_OK;
}

MORVADB_API int32_t qb_sort(query_builder *qb, const char *column, int32_t ascending) {
    if (qb == nullptr || column == nullptr) return DB_ERR_INVALID;
    morva::set_name(qb->sort_column, column);
    qb->sort_ascending = ascending;
    qb->sort_enabled = 1;
    return DB_OK;
}

MORVADB_API int32_t qb_limit(query_builder *qb, int32_t n) {
    if (qb == nullptr || n < 0) return DB_ERR_INVALID;
    qb->limit = n;
    qb->limit_enabled = 1;
    return DB_OK;
}

MORVADB_API int32_t qb_join(query_builder *qb, const char *table, const char *local_column,
                            const char *foreign_column) {
    if (qb == nullptr || table == nullptr || local_column == nullptr || foreign_column == nullptr)
        return DB_ERR_INVALID;
    morva::set_name(qb->join_table, table);
    morva::set_name(qb->join_local_column, local_column);
    morva::set_name(qb->join_foreign_column, foreign_column);
    qb->join_enabled = 1;
    return DB_OK;
}

MORVADB_API result_set *qb_exec(query_builder *qb) {
    if (qb == nullptr) return nullptr;
    return morva::execute_query(*qb);
}

MORVADB_API void qb_destroy(query_builder *qb) {
    if (qb == nullptr) return;
    condition_destroy(qb->condition);
    std::free(qb);
}

}  // extern "C"

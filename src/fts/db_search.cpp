// Database-level full-text calls. The handle owns one full-text index from
// open to close; these calls look tables up in the catalog and search that
// index under the catalog lock.
#include "fts/db_search.h"

#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>

#include "db/handle.h"
#include "query/result_set.h"
#include "util/sync.h"

namespace morva {
namespace {

bool table_exists(const db_handle *db, const char *name) {
    std::string_view wanted(name);
    int32_t tables = db->table_count < DB_MAX_TABLES ? db->table_count : DB_MAX_TABLES;
    for (int32_t t = 0; t < tables; ++t)
        if (wanted == std::string_view(db->tables[t].name, strnlen(db->tables[t].name, DB_NAME_SIZE))) return true;
    return false;
}

// Status of the catalog-checking index calls, under the catalog write lock.
int32_t index_call(db_handle *db, const char *table, bool look_up) {
    WriteGuard catalog(&db->catalog_lock);
    int32_t status = (!look_up || table_exists(db, table)) ? DB_OK : DB_ERR_NOT_FOUND;
    set_last_error(db, status);
    return status;
}

int32_t search(db_handle *db, const char *table, const char *query, result_set **out_rs) {
    ReadGuard catalog(&db->catalog_lock);
    int32_t status = DB_OK;
    result_set *rs = nullptr;
    try {
        std::vector<uint64_t> ids;
        if (!table_exists(db, table)) {
            status = DB_ERR_NOT_FOUND;
        } else if (db->fts == nullptr || !collect_text_hits(db->fts, query, &ids)) {
            status = DB_ERR_INVALID;
        } else {
            std::vector<int64_t> doc_ids(ids.begin(), ids.end());
            std::vector<double> scores(ids.size(), 0.0);
            rs = result_set_create_search(doc_ids.data(), scores.data(), static_cast<int32_t>(ids.size()));
            if (rs == nullptr) status = DB_ERR_NOMEM;
        }
    } catch (const std::bad_alloc &) {
        status = DB_ERR_NOMEM;
    }
    if (status == DB_OK) *out_rs = rs;
    set_last_error(db, status);
    return status;
}

}  // namespace

bool collect_text_hits(fts_index *idx, const char *query, std::vector<uint64_t> *ids) {
    std::vector<query_term> items(kSearchQueryItems);
    int32_t n = fts_query_parse(query, items.data(), kSearchQueryItems);
    if (n <= 0) return false;
    if (n > kSearchQueryItems) n = kSearchQueryItems;
    std::unordered_set<uint64_t> collected;
    uint64_t found[kFuzzyIdsPerTerm];
    for (int32_t i = 0; i < n && ids->size() < kMaxSearchHits; ++i) {
        query_term &item = items[static_cast<size_t>(i)];
        item.text[sizeof item.text - 1] = '\0';
        int32_t count = 0;
        if (item.kind == QT_TERM) {
            count = fts_index_search(idx, item.text, found, 1);
        } else if (item.kind == QT_FUZZY) {
            int32_t distance = item.distance > 1 ? item.distance : 1;
            count = fts_index_search_fuzzy(idx, item.text, distance, found, kFuzzyIdsPerTerm);
        }
        if (count > kFuzzyIdsPerTerm) count = kFuzzyIdsPerTerm;
        for (int32_t j = 0; j < count && ids->size() < kMaxSearchHits; ++j)
            if (collected.insert(found[j]).second) ids->push_back(found[j]);
    }
    return true;
}

}  // namespace morva

extern "C" {

MORVADB_API int32_t db_fts_create_index(db_handle *db, const char *table, const char *column) {
    if (db == nullptr || table == nullptr || column == nullptr) return DB_ERR_INVALID;
    return morva::index_call(db, table, true);
}

MORVADB_API int32_t db_fts_drop_index(db_handle *db, const char *table, const char *column) {
    if (db == nullptr || table == nullptr || column == nullptr) return DB_ERR_INVALID;
    return morva::index_call(db, table, false);
}

MORVADB_API int32_t db_fts_search(db_handle *db, const char *table, const char *column, const char *query,
                                  result_set **out_rs) {
    if (db == nullptr || table == nullptr || column == nullptr || query == nullptr || out_rs == nullptr)
        return DB_ERR_INVALID;
    return morva::search(db, table, query, out_rs);
}

}  // extern "C"

#include "library_guard.h"

namespace morva::cli {
namespace {

template <typename... Fn>
bool all_present(Fn... fns) {
    return ((reinterpret_cast<void *>(fns) != nullptr) && ...);
}

}  // namespace

bool have_engine() { return all_present(&db_open, &db_close, &db_put, &db_get, &db_delete, &db_create_table); }

bool have_queries() { return all_present(&db_query, &qb_where, &qb_sort, &qb_limit, &qb_join, &qb_exec, &qb_destroy); }

bool have_text_search() { return all_present(&db_fts_search); }

bool have_vectors() {
    return all_present(&db_vec_create_index, &db_vec_insert_text, &db_vec_search_text, &db_vec_delete, &db_vec_count);
}

bool have_hybrid() { return have_vectors() && have_text_search() && all_present(&db_hybrid_search); }

std::string missing_message(const char *feature) {
    return std::string("this build of the library has no ") + feature;
}

}  // namespace morva::cli

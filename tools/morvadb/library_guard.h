// The tool runs against whichever build of the shared library it finds at
// run time. The calls below are referenced weakly: when a library build
// lacks one of these families, the tool reports the missing feature instead
// of failing to start. Include this header in every file that calls them.
#pragma once

#include <morvadb.h>

#include <string>

#pragma weak db_open
#pragma weak db_close
#pragma weak db_put
#pragma weak db_get
#pragma weak db_delete
#pragma weak db_create_table
#pragma weak db_query
#pragma weak qb_where
#pragma weak qb_sort
#pragma weak qb_limit
#pragma weak qb_join
#pragma weak qb_exec
#pragma weak qb_destroy
#pragma weak db_fts_search
#pragma weak db_hybrid_search
#pragma weak db_vec_create_index
#pragma weak db_vec_insert_text
#pragma weak db_vec_search_text
#pragma weak db_vec_delete
#pragma weak db_vec_count

namespace morva::cli {

// Each returns true when every call of the family is present.
bool have_engine();      // open, close, put, get, delete, create table
bool have_queries();     // the query builder
bool have_text_search(); // database full-text search
bool have_vectors();     // the database vector index
bool have_hybrid();      // hybrid search

// The message printed when a family is missing, e.g. "this build of the
// library has no query builder".
std::string missing_message(const char *feature);

}  // namespace morva::cli

// One open database as the tool sees it: the handle, a snapshot of the
// catalog, typed row writes and reads, queries, and the text and vector
// indexes that back the search commands.
//
// Every table shares the store's single key space, and a scan of one table
// visits the rows of every table. Tables created by this tool therefore
// begin with a hidden int32 column, "_table", that holds a tag naming the
// table: queries filter on it, and a put refuses a key that already holds
// another table's row. Tables created by other hosts have no such column and
// are read as the library reads them. Rows are stored under the key of their
// key column (see row_key), which is also the key a join looks up.
#pragma once

#include <morvadb.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "select_statement.h"

namespace morva::cli {

// The hidden first column of tables made by this tool.
inline constexpr const char *kTagColumn = "_table";

struct TableInfo {
    std::string name;
    std::vector<std::string> columns;  // every column, the hidden tag column included
    std::vector<int32_t> types;
    int32_t key_column = -1;  // as stored in the catalog
    int64_t id = 0;
    bool tagged = false;  // first column is the hidden tag column

    // The column rows are keyed by: the catalog's key column, else the first
    // visible column.
    size_t effective_key_column() const;
    int32_t tag() const;
    // Index of a column by exact name, or -1.
    int32_t find_column(const std::string &name) const;
};

// A status plus the text the user sees; ok() when status is DB_OK.
struct Outcome {
    int32_t status = DB_OK;
    std::string message;
    bool ok() const { return status == DB_OK; }
    static Outcome success() { return {}; }
    static Outcome failure(int32_t status, std::string message) { return {status, std::move(message)}; }
    // "<context>: <library status text>".
    static Outcome library(int32_t status, const std::string &context);
};

// Rows ready for printing.
struct Grid {
    std::vector<std::string> headers;
    std::vector<bool> numeric;
    // For query results: the table and column each printed column comes from.
    std::vector<std::string> source_tables, source_columns;
    std::vector<std::vector<std::string>> rows;
};

class Session {
public:
    // Opens (creating when absent) the database at the path prefix.
    static Outcome open(const std::string &path, std::unique_ptr<Session> &out);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    db_handle *handle() const { return db_; }
    const std::string &path() const { return path_; }

    std::vector<TableInfo> tables() const;
    std::optional<TableInfo> table(const std::string &name) const;

    // columns: (name, type code) pairs of the visible columns; key_column may
    // be empty (the first column is the key).
    Outcome create_table(const std::string &name, const std::vector<std::pair<std::string, int32_t>> &columns,
                         const std::string &key_column);
    // values: one text per visible column.
    Outcome put_row(const TableInfo &table, const std::vector<std::string> &values);
    Outcome put_encoded(const TableInfo &table, const std::string &key, const std::string &row);
    Outcome get_row(const TableInfo &table, const std::string &key_text, Grid &out);
    Outcome delete_row(const TableInfo &table, const std::string &key_text);

    // Literals of the where clause are checked against the table first.
    Outcome query(SelectStatement statement, Grid &out);
    // Rows of a table as (key, encoded row) pairs, tag-filtered.
    Outcome scan(const TableInfo &table, std::vector<std::pair<std::string, std::string>> &out) const;

    // Adds the text of column of every row to the full-text index and the
    // vector index; later puts to the table are indexed as they are written.
    Outcome index(const TableInfo &table, const std::string &column, size_t &indexed);
    Outcome text_search(const TableInfo &table, const std::string &query, Grid &out);
    Outcome similar(const TableInfo &table, const std::string &text, int32_t k, Grid &out);
    Outcome hybrid(const TableInfo &table, const std::string &text, int32_t k, Grid &out);

    // Text for the .stats command and `morvadb stats`.
    std::string stats() const;

private:
    struct DocRef {
        std::string table;
        std::string key;
    };

    Session(db_handle *db, std::string path) : db_(db), path_(std::move(path)) {}

    Outcome key_for(const TableInfo &table, const std::string &key_text, std::string &key) const;
    // Copies the value under key; nullopt when absent.
    std::optional<std::string> fetch(const TableInfo &table, const std::string &key, int32_t &status) const;
    bool belongs_to(const TableInfo &table, const std::string &row) const;
    void append_row(const TableInfo &table, const std::string &row, std::vector<std::string> &cells) const;
    void add_row_headers(const TableInfo &table, Grid &out) const;
    std::vector<size_t> hit_columns(const TableInfo &table) const;
    void add_hit_headers(const TableInfo &table, Grid &out) const;
    void append_hit(const TableInfo &table, const std::string &row, std::vector<std::string> &cells) const;
    Outcome index_row(const TableInfo &table, const std::string &key, const std::string &row);
    void forget_row(const TableInfo &table, const std::string &key);
    Outcome ensure_vector_index();
    std::string indexed_column(const TableInfo &table) const;
    // Row of a document id when it belongs to table and still exists.
    std::optional<std::string> document_row(const TableInfo &table, uint64_t doc) const;

    db_handle *db_;
    std::string path_;
    std::map<uint64_t, DocRef> docs_;                           // document id -> row
    std::map<std::pair<std::string, std::string>, uint64_t> doc_of_row_;  // (table, key) -> document id
    std::map<std::string, std::string> indexed_columns_;        // table -> indexed column
};

}  // namespace morva::cli

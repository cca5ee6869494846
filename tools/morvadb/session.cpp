#include "session.h"

#include <cstring>

#include "handle_locks.h"
#include "library_guard.h"
#include "row_codec.h"

namespace morva::cli {
namespace {

// Tags are the table id above a fixed base, so that the first four bytes of
// a row written by another host rarely pass for a tag by accident.
constexpr int32_t kTagBase = 0x4D560000;

int32_t read_tag(const std::string &row) {
    int32_t tag = 0;
    if (row.size() >= sizeof tag) std::memcpy(&tag, row.data(), sizeof tag);
    return tag;
}

}  // namespace

size_t TableInfo::effective_key_column() const {
    if (key_column >= 0 && static_cast<size_t>(key_column) < columns.size() && !(tagged && key_column == 0)) {
        return static_cast<size_t>(key_column);
    }
    return tagged ? 1 : 0;
}

int32_t TableInfo::tag() const { return kTagBase + static_cast<int32_t>(id); }

int32_t TableInfo::find_column(const std::string &name) const {
    for (size_t i = 0; i < columns.size(); i++) {
        if (columns[i] == name) return static_cast<int32_t>(i);
    }
    return -1;
}

Outcome Outcome::library(int32_t status, const std::string &context) {
    return failure(status, context + ": " + db_error_string(status));
}

Outcome Session::open(const std::string &path, std::unique_ptr<Session> &out) {
    if (!have_engine()) return Outcome::failure(DB_ERR_INVALID, missing_message("database engine"));
    db_handle *db = nullptr;
    const int32_t rc = db_open(path.c_str(), nullptr, &db);
    if (rc != DB_OK) return Outcome::library(rc, "cannot open " + path);
    out.reset(new Session(db, path));
    return Outcome::success();
}

Session::~Session() {
    if (db_ != nullptr) db_close(db_);
}

std::vector<TableInfo> Session::tables() const {
    std::vector<TableInfo> out;
    ReadLock catalog(&db_->catalog_lock);
    const int32_t count = db_->table_count;
    for (int32_t i = 0; i < count && i < DB_MAX_TABLES; i++) {
        const table_schema &t = db_->tables[i];
        TableInfo info;
        info.name.assign(t.name, strnlen(t.name, sizeof t.name));
        for (int32_t c = 0; c < t.column_count; c++) {
            info.columns.emplace_back(t.column_names != nullptr && t.column_names[c] != nullptr ? t.column_names[c]
                                                                                                 : "");
            info.types.push_back(t.column_types != nullptr ? t.column_types[c] : COL_BLOB);
        }
        info.key_column = t.key_column;
        info.id = t.table_id;
        info.tagged = !info.columns.empty() && info.columns[0] == kTagColumn && info.types[0] == COL_INT32;
        out.push_back(std::move(info));
    }
    return out;
}

std::optional<TableInfo> Session::table(const std::string &name) const {
    for (auto &t : tables()) {
        if (t.name == name) return t;
    }
    return std::nullopt;
}

Outcome Session::create_table(const std::string &name, const std::vector<std::pair<std::string, int32_t>> &columns,
                              const std::string &key_column) {
    if (columns.empty()) return Outcome::failure(DB_ERR_INVALID, "a table needs at least one column");
    if (name.empty() || name.size() >= DB_NAME_SIZE) {
        return Outcome::failure(DB_ERR_INVALID, "table names have 1 to 63 bytes");
    }
    if (columns.size() + 1 > ROW_MAX_COLUMNS) {
        return Outcome::failure(DB_ERR_INVALID, "a table has at most " + std::to_string(ROW_MAX_COLUMNS - 1) + " columns");
    }
    std::vector<std::string> names{kTagColumn};
    std::vector<int32_t> types{COL_INT32};
    for (const auto &[column, type] : columns) {
        // The catalog separates columns with '|' and reads names of up to 255 bytes.
        if (column.empty() || column.size() > 255 || column.find('|') != std::string::npos || column == kTagColumn) {
            return Outcome::failure(DB_ERR_INVALID, "invalid column name: " + column);
        }
        for (const auto &seen : names) {
            if (seen == column) return Outcome::failure(DB_ERR_INVALID, "duplicate column name: " + column);
        }
        names.push_back(column);
        types.push_back(type);
    }
    const std::string key = key_column.empty() ? columns[0].first : key_column;
    bool key_found = false;
    for (size_t i = 1; i < names.size(); i++) key_found = key_found || names[i] == key;
    if (!key_found) return Outcome::failure(DB_ERR_INVALID, "no column named " + key + " for the key");
    std::vector<const char *> name_ptrs;
    for (const auto &n : names) name_ptrs.push_back(n.c_str());
    const int32_t rc = db_create_table(db_, name.c_str(), name_ptrs.data(), types.data(),
                                       static_cast<int32_t>(types.size()), key.c_str());
    if (rc != DB_OK) return Outcome::library(rc, "create " + name);
    return Outcome::success();
}

Outcome Session::key_for(const TableInfo &table, const std::string &key_text, std::string &key) const {
    const size_t k = table.effective_key_column();
    if (k >= table.types.size()) return Outcome::failure(DB_ERR_INVALID, "table " + table.name + " has no columns");
    std::string encoded, error;
    if (!encode_value(table.types[k], key_text, encoded, error)) return Outcome::failure(DB_ERR_INVALID, error);
    const auto value = extract_value({table.types[k]}, 0, encoded);
    key = row_key(table.types[k], value.value_or(""));
    return Outcome::success();
}

std::optional<std::string> Session::fetch(const TableInfo &table, const std::string &key, int32_t &status) const {
    const void *value = nullptr;
    uint64_t len = 0;
    status = db_get(db_, table.name.c_str(), key.data(), key.size(), &value, &len);
    if (status != DB_OK) return std::nullopt;
    // The pointer refers to the engine's storage: copy before the next call.
    return std::string(static_cast<const char *>(value), static_cast<size_t>(len));
}

bool Session::belongs_to(const TableInfo &table, const std::string &row) const {
    return !table.tagged || read_tag(row) == table.tag();
}

Outcome Session::put_row(const TableInfo &table, const std::vector<std::string> &values) {
    std::vector<int32_t> types(table.types.begin() + (table.tagged ? 1 : 0), table.types.end());
    std::string row, error;
    if (table.tagged) {
        encode_value(COL_INT32, std::to_string(table.tag()), row, error);
    }
    std::string rest;
    if (!encode_row(types, values, rest, error)) return Outcome::failure(DB_ERR_INVALID, error);
    row += rest;
    const size_t k = table.effective_key_column();
    const auto key_value = extract_value(table.types, k, row);
    return put_encoded(table, row_key(table.types[k], key_value.value_or("")), row);
}

Outcome Session::put_encoded(const TableInfo &table, const std::string &key, const std::string &row) {
    int32_t status = DB_OK;
    if (const auto existing = fetch(table, key, status)) {
        // A tagged row of another table under this key would be overwritten
        // silently: the key space is shared.
        const int32_t tag = read_tag(*existing);
        for (const auto &other : tables()) {
            if (other.tagged && other.name != table.name && other.tag() == tag) {
                return Outcome::failure(DB_ERR_EXISTS, "key already holds a row of table " + other.name +
                                                           " (all tables share one key space)");
            }
        }
    }
    const int32_t rc = db_put(db_, table.name.c_str(), key.data(), key.size(), row.data(), row.size());
    if (rc != DB_OK) return Outcome::library(rc, "put " + table.name);
    if (indexed_columns_.count(table.name) != 0) return index_row(table, key, row);
    return Outcome::success();
}

void Session::add_row_headers(const TableInfo &table, Grid &out) const {
    for (size_t c = table.tagged ? 1 : 0; c < table.columns.size(); c++) {
        out.headers.push_back(table.columns[c]);
        out.numeric.push_back(is_numeric_type(table.types[c]));
    }
}

void Session::append_row(const TableInfo &table, const std::string &row, std::vector<std::string> &cells) const {
    for (size_t c = table.tagged ? 1 : 0; c < table.columns.size(); c++) {
        const auto value = extract_value(table.types, c, row);
        cells.push_back(value ? format_value(table.types[c], *value) : "NULL");
    }
}

Outcome Session::get_row(const TableInfo &table, const std::string &key_text, Grid &out) {
    std::string key;
    if (Outcome o = key_for(table, key_text, key); !o.ok()) return o;
    int32_t status = DB_OK;
    auto row = fetch(table, key, status);
    if (row && !belongs_to(table, *row)) {
        row.reset();
        status = DB_ERR_NOT_FOUND;
    }
    if (!row) return Outcome::library(status, "get " + table.name + " " + key_text);
    add_row_headers(table, out);
    out.rows.emplace_back();
    append_row(table, *row, out.rows.back());
    return Outcome::success();
}

Outcome Session::delete_row(const TableInfo &table, const std::string &key_text) {
    std::string key;
    if (Outcome o = key_for(table, key_text, key); !o.ok()) return o;
    int32_t status = DB_OK;
    const auto row = fetch(table, key, status);
    if (!row || !belongs_to(table, *row)) {
        return Outcome::library(row ? DB_ERR_NOT_FOUND : status, "delete " + table.name + " " + key_text);
    }
    const int32_t rc = db_delete(db_, table.name.c_str(), key.data(), key.size());
    if (rc != DB_OK) return Outcome::library(rc, "delete " + table.name + " " + key_text);
    forget_row(table, key);
    return Outcome::success();
}

}  // namespace morva::cli

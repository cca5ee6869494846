// Queries: the shell's select statement becomes a query builder with a
// condition tree, and the result set becomes printable rows.
#include <memory>
#include <new>
#include <set>

#include "library_guard.h"
#include "row_codec.h"
#include "session.h"

namespace morva::cli {
namespace {

struct ConditionDeleter {
    void operator()(condition *c) const { condition_destroy(c); }
};
using ConditionPtr = std::unique_ptr<condition, ConditionDeleter>;

struct BuilderDeleter {
    void operator()(query_builder *qb) const { qb_destroy(qb); }
};
struct ResultDeleter {
    void operator()(result_set *rs) const { rs_close(rs); }
};

ConditionPtr checked(condition *c) {
    if (c == nullptr) throw std::bad_alloc();
    return ConditionPtr(c);
}

// Checks each comparison against the table and writes literals in the form
// the library compares them in: numbers must parse as the column's type,
// and booleans become "true" or "false".
Outcome check_literals(const TableInfo &table, Expr &e) {
    if (e.kind != Expr::kCompare) {
        if (Outcome o = check_literals(table, *e.left); !o.ok()) return o;
        return e.right ? check_literals(table, *e.right) : Outcome::success();
    }
    const int32_t c = table.find_column(e.column);
    if (c < 0 || (table.tagged && c == 0)) {
        return Outcome::failure(DB_ERR_INVALID, "no column " + e.column + " in table " + table.name);
    }
    const int32_t type = table.types[static_cast<size_t>(c)];
    if (type == COL_BLOB) return Outcome::failure(DB_ERR_INVALID, "blob columns cannot be compared");
    if (is_numeric_type(type) || type == COL_BOOL) {
        std::string encoded, error;
        if (!encode_value(type, e.value, encoded, error)) return Outcome::failure(DB_ERR_INVALID, error);
        if (type == COL_BOOL) e.value = encoded[0] != 0 ? "true" : "false";
    }
    return Outcome::success();
}

ConditionPtr build_condition(const Expr &e) {
    switch (e.kind) {
        case Expr::kCompare:
            return checked(qb_cond(nullptr, e.column.c_str(), e.op.c_str(), e.value.c_str()));
        case Expr::kNot: {
            ConditionPtr child = build_condition(*e.left);
            ConditionPtr node = checked(qb_cond_not(nullptr, child.get()));
            child.release();  // now owned by node
            return node;
        }
        case Expr::kAnd:
        case Expr::kOr: {
            ConditionPtr left = build_condition(*e.left);
            ConditionPtr right = build_condition(*e.right);
            ConditionPtr node = checked(e.kind == Expr::kAnd ? qb_cond_and(nullptr, left.get(), right.get())
                                                             : qb_cond_or(nullptr, left.get(), right.get()));
            left.release();
            right.release();
            return node;
        }
    }
    throw std::bad_alloc();
}

// The condition of a query on table: the user's expression, ANDed with the
// tag comparison that keeps other tables' rows out.
ConditionPtr table_condition(const TableInfo &table, const Expr *user) {
    ConditionPtr cond;
    if (table.tagged) cond = checked(qb_cond(nullptr, kTagColumn, "=", std::to_string(table.tag()).c_str()));
    if (user == nullptr) return cond;
    ConditionPtr mine = build_condition(*user);
    if (!cond) return mine;
    ConditionPtr both = checked(qb_cond_and(nullptr, cond.get(), mine.get()));
    cond.release();
    mine.release();
    return both;
}

// Keeps the requested columns of a result, in the requested order. A name
// is a printed header, a column name, or TABLE.COLUMN.
Outcome project(const std::vector<std::string> &wanted, Grid &grid) {
    if (wanted.empty()) return Outcome::success();
    std::vector<size_t> picks;
    for (const auto &name : wanted) {
        const size_t n = grid.headers.size();
        size_t found = n;
        for (size_t c = 0; c < n && found == n; c++) {
            if (grid.headers[c] == name) found = c;
        }
        for (size_t c = 0; c < n && found == n; c++) {
            if (grid.source_columns[c] == name || grid.source_tables[c] + "." + grid.source_columns[c] == name) {
                found = c;
            }
        }
        if (found == n) return Outcome::failure(DB_ERR_INVALID, "no column " + name + " in the result");
        picks.push_back(found);
    }
    Grid out;
    for (size_t c : picks) {
        out.headers.push_back(grid.headers[c]);
        out.numeric.push_back(grid.numeric[c]);
        out.source_tables.push_back(grid.source_tables[c]);
        out.source_columns.push_back(grid.source_columns[c]);
    }
    for (const auto &row : grid.rows) {
        std::vector<std::string> cells;
        for (size_t c : picks) cells.push_back(row[c]);
        out.rows.push_back(std::move(cells));
    }
    grid = std::move(out);
    return Outcome::success();
}

}  // namespace

Outcome Session::query(SelectStatement statement, Grid &out) {
    if (!have_queries()) return Outcome::failure(DB_ERR_INVALID, missing_message("query builder"));
    const auto table = this->table(statement.table);
    if (!table) return Outcome::library(DB_ERR_NOT_FOUND, "table " + statement.table);
    if (statement.where) {
        if (Outcome o = check_literals(*table, *statement.where); !o.ok()) return o;
    }
    if (statement.sort_column && (table->find_column(*statement.sort_column) < 0 || *statement.sort_column == kTagColumn)) {
        return Outcome::failure(DB_ERR_INVALID, "no column " + *statement.sort_column + " in table " + table->name);
    }
    std::optional<TableInfo> joined;
    if (statement.join) {
        joined = this->table(statement.join->table);
        if (!joined) return Outcome::library(DB_ERR_NOT_FOUND, "table " + statement.join->table);
        if (table->find_column(statement.join->local_column) < 0) {
            return Outcome::failure(DB_ERR_INVALID, "no column " + statement.join->local_column + " in table " + table->name);
        }
        if (joined->find_column(statement.join->foreign_column) < 0) {
            return Outcome::failure(DB_ERR_INVALID,
                                    "no column " + statement.join->foreign_column + " in table " + joined->name);
        }
    }

    std::unique_ptr<query_builder, BuilderDeleter> qb(db_query(db_, table->name.c_str()));
    if (!qb) return Outcome::library(DB_ERR_NOMEM, "query");
    if (ConditionPtr cond = table_condition(*table, statement.where.get())) {
        const int32_t rc = qb_where(qb.get(), cond.get());
        if (rc != DB_OK) return Outcome::library(rc, "query");
        cond.release();  // the builder owns it now
    }
    if (statement.sort_column) qb_sort(qb.get(), statement.sort_column->c_str(), statement.ascending ? 1 : 0);
    if (statement.limit) qb_limit(qb.get(), *statement.limit);
    if (statement.join) {
        qb_join(qb.get(), statement.join->table.c_str(), statement.join->local_column.c_str(),
                statement.join->foreign_column.c_str());
    }
    std::unique_ptr<result_set, ResultDeleter> rs(qb_exec(qb.get()));
    if (!rs) return Outcome::library(DB_ERR_NOMEM, "query");

    // Visible columns: every column but the hidden tag columns; a joined
    // column whose name repeats an earlier one is shown as table.column.
    const int32_t columns = rs_num_columns(rs.get());
    std::vector<int32_t> shown;
    std::set<std::string> seen;
    for (int32_t c = 0; c < columns; c++) {
        const char *name = rs->column_names[c] != nullptr ? rs->column_names[c] : "";
        const bool from_join = joined && c >= static_cast<int32_t>(table->columns.size());
        if ((c == 0 && table->tagged) || (from_join && joined->tagged && std::string(name) == kTagColumn)) {
            continue;
        }
        std::string header = name;
        if (from_join && seen.count(header) != 0) header = joined->name + "." + header;
        seen.insert(name);
        shown.push_back(c);
        out.source_tables.push_back(from_join ? joined->name : table->name);
        out.source_columns.push_back(name);
        out.headers.push_back(header);
        out.numeric.push_back(is_numeric_type(static_cast<int32_t>(rs_get_column_type(rs.get(), c))));
    }
    while (rs_next(rs.get())) {
        std::vector<std::string> cells;
        for (int32_t c : shown) {
            const void *data = nullptr;
            uint64_t len = 0;
            if (rs_get_column(rs.get(), c, &data, &len) != DB_OK || data == nullptr) {
                cells.push_back("NULL");
                continue;
            }
            cells.push_back(format_value(static_cast<int32_t>(rs_get_column_type(rs.get(), c)),
                                         std::string_view(static_cast<const char *>(data), static_cast<size_t>(len))));
        }
        out.rows.push_back(std::move(cells));
    }
    return project(statement.columns, out);
}

Outcome Session::scan(const TableInfo &table, std::vector<std::pair<std::string, std::string>> &out) const {
    if (!have_queries()) return Outcome::failure(DB_ERR_INVALID, missing_message("query builder"));
    std::unique_ptr<query_builder, BuilderDeleter> qb(db_query(db_, table.name.c_str()));
    if (!qb) return Outcome::library(DB_ERR_NOMEM, "scan");
    if (ConditionPtr cond = table_condition(table, nullptr)) {
        if (qb_where(qb.get(), cond.get()) != DB_OK) return Outcome::library(DB_ERR_INVALID, "scan");
        cond.release();
    }
    std::unique_ptr<result_set, ResultDeleter> rs(qb_exec(qb.get()));
    if (!rs) return Outcome::library(DB_ERR_NOMEM, "scan");
    const size_t k = table.effective_key_column();
    // Result rows are the stored values; the key is rebuilt from the key
    // column, which is how this tool stores rows.
    for (int32_t r = 0; r < rs->stored_rows; r++) {
        std::string row(reinterpret_cast<const char *>(rs->rows[r]), static_cast<size_t>(rs->row_lengths[r]));
        const auto key_value = extract_value(table.types, k, row);
        if (!key_value) continue;
        out.emplace_back(row_key(table.types[k], *key_value), std::move(row));
    }
    return Outcome::success();
}

}  // namespace morva::cli

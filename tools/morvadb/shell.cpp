#include "shell.h"

#include <charconv>
#include <iostream>

#include "line_reader.h"
#include "row_codec.h"
#include "table_printer.h"

namespace morva::cli {
namespace {

constexpr int32_t kDefaultHits = 5;

const char kHelp[] =
    "Tables and rows\n"
    "  create TABLE COLUMN:TYPE ... [key COLUMN]   types: int32 int64 float double string blob bool\n"
    "  put TABLE VALUE ...                         insert or replace a row (values in column order)\n"
    "  get TABLE KEY                               show the row stored under KEY\n"
    "  delete TABLE KEY                            delete the row stored under KEY\n"
    "  select TABLE [where COND] [order by COLUMN [asc|desc]] [limit N]\n"
    "               [join TABLE2 on COLUMN = COLUMN2]\n"
    "      COND: COLUMN OP VALUE (OP: = != < > <= >=) combined with not, and, or, ( )\n"
    "Search (indexes live in memory: index again after reopening)\n"
    "  index TABLE COLUMN                          index a text column for the searches below\n"
    "  search TABLE QUERY                          full-text: words, OR, NOT, word~1 (fuzzy)\n"
    "  similar TABLE TEXT [limit N]                nearest rows by meaning (text embedder)\n"
    "  hybrid TABLE TEXT [limit N]                 both rankings fused by reciprocal rank\n"
    "Other\n"
    "  .tables  .schema [TABLE]  .stats  .history  .help  .quit\n"
    "Values with blanks or quotes go in quotes: 'it''s' or \"say \\\"hi\\\"\"; blobs as 0x0a1b.\n"
    "A row's key is the value of its key column (default: the first column).\n";

bool parse_count(const std::string &text, int32_t &out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && out > 0;
}

}  // namespace

void Shell::error(const std::string &message) {
    errors_++;
    out_.flush();
    err_ << "error: ";
    if (line_number_ > 0) err_ << "line " << line_number_ << ": ";
    // Messages quote what the user typed; control bytes are shown escaped.
    err_ << printable(message) << '\n';
    err_.flush();
}

void Shell::report(const Outcome &o) {
    if (!o.ok()) error(o.message);
}

void Shell::print(const Grid &grid) {
    TablePrinter printer(grid.headers, grid.numeric);
    for (const auto &row : grid.rows) printer.add_row(row);
    out_ << printer.render();
}

std::optional<TableInfo> Shell::find_table(const std::vector<Token> &t, size_t at) {
    if (at >= t.size() || t[at].kind == Token::kOperator) {
        error("expected a table name");
        return std::nullopt;
    }
    auto table = session_.table(t[at].text);
    if (!table) report(Outcome::library(DB_ERR_NOT_FOUND, "table " + t[at].text));
    return table;
}

bool Shell::execute(const std::string &raw_line) {
    std::string line = raw_line;
    // Comments, and a trailing semicolon out of habit.
    const size_t first = line.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || line.compare(first, 2, "--") == 0 || line[first] == '#') return true;
    const size_t last = line.find_last_not_of(" \t\r\n");
    if (line[last] == ';') line.erase(last);

    std::vector<Token> t;
    std::string lex_error;
    if (!lex(line, t, lex_error)) {
        error(lex_error);
        return true;
    }
    if (t.empty()) return true;
    try {
        const Token &cmd = t[0];
        if (cmd.kind == Token::kWord && !cmd.text.empty() && cmd.text[0] == '.') {
            if (cmd.is_word(".quit") || cmd.is_word(".exit")) return false;
            dot_command(t);
        } else if (cmd.is_word("create")) {
            create(t);
        } else if (cmd.is_word("put") || cmd.is_word("insert")) {
            put(t);
        } else if (cmd.is_word("get")) {
            get_or_delete(t, false);
        } else if (cmd.is_word("delete")) {
            get_or_delete(t, true);
        } else if (cmd.is_word("select")) {
            select(t);
        } else if (cmd.is_word("index")) {
            index(t);
        } else if (cmd.is_word("search") || cmd.is_word("similar") || cmd.is_word("hybrid")) {
            search(line, t, ascii_lower(cmd.text));
        } else if (cmd.is_word("help")) {
            out_ << kHelp;
        } else if (cmd.is_word("quit") || cmd.is_word("exit")) {
            return false;
        } else {
            error("unknown command: " + cmd.text + " (.help lists the commands)");
        }
    } catch (const std::bad_alloc &) {
        error(db_error_string(DB_ERR_NOMEM));
    } catch (const std::exception &e) {
        error(e.what());
    }
    return true;
}

void Shell::create(const std::vector<Token> &t) {
    size_t pos = 1;
    if (pos < t.size() && t[pos].is_word("table")) pos++;
    if (pos >= t.size() || t[pos].kind == Token::kOperator) return error("expected a table name");
    const std::string name = t[pos++].text;
    std::vector<std::pair<std::string, int32_t>> columns;
    std::string key;
    while (pos < t.size()) {
        if (t[pos].is_word("key")) {
            if (pos + 1 >= t.size()) return error("key needs a column name");
            key = t[pos + 1].text;
            pos += 2;
            continue;
        }
        if (t[pos].kind == Token::kOperator) {
            pos++;  // tolerate "(a:int32, b:string)"
            continue;
        }
        const std::string &column_text = t[pos++].text;
        const size_t colon = column_text.rfind(':');
        if (colon == std::string::npos || colon == 0) {
            return error("columns are written NAME:TYPE, found '" + column_text + "'");
        }
        const int32_t type = parse_type_name(column_text.substr(colon + 1));
        if (type < 0) return error("unknown column type '" + column_text.substr(colon + 1) + "'");
        columns.emplace_back(column_text.substr(0, colon), type);
    }
    const Outcome o = session_.create_table(name, columns, key);
    if (!o.ok()) return report(o);
    out_ << "created table " << name << '\n';
}

void Shell::put(const std::vector<Token> &t) {
    size_t pos = 1;
    if (pos < t.size() && t[pos].is_word("into")) pos++;
    auto table = find_table(t, pos);
    if (!table) return;
    std::vector<std::string> values;
    for (size_t i = pos + 1; i < t.size(); i++) {
        if (t[i].is_op(",") || t[i].is_op("(") || t[i].is_op(")")) continue;
        if (t[i].kind == Token::kOperator) return error("unexpected '" + t[i].text + "' among the values");
        values.push_back(t[i].text);
    }
    report(session_.put_row(*table, values));
}

void Shell::get_or_delete(const std::vector<Token> &t, bool remove) {
    size_t pos = 1;
    if (remove && pos < t.size() && t[pos].is_word("from")) pos++;
    auto table = find_table(t, pos);
    if (!table) return;
    if (pos + 2 != t.size() || t[pos + 1].kind == Token::kOperator) {
        return error(std::string("usage: ") + (remove ? "delete" : "get") + " TABLE KEY");
    }
    if (remove) {
        const Outcome o = session_.delete_row(*table, t[pos + 1].text);
        if (!o.ok()) return report(o);
        out_ << "deleted 1 row\n";
        return;
    }
    Grid grid;
    const Outcome o = session_.get_row(*table, t[pos + 1].text, grid);
    if (!o.ok()) return report(o);
    print(grid);
}

void Shell::select(const std::vector<Token> &t) {
    SelectStatement statement;
    std::string parse_error;
    if (!parse_query(t, 1, statement, parse_error)) return error(parse_error);
    Grid grid;
    const Outcome o = session_.query(std::move(statement), grid);
    if (!o.ok()) return report(o);
    print(grid);
}

void Shell::index(const std::vector<Token> &t) {
    auto table = find_table(t, 1);
    if (!table) return;
    if (t.size() != 3) return error("usage: index TABLE COLUMN");
    size_t indexed = 0;
    const Outcome o = session_.index(*table, t[2].text, indexed);
    if (!o.ok()) return report(o);
    out_ << "indexed " << indexed << (indexed == 1 ? " row" : " rows") << " of " << table->name << '.' << t[2].text
         << '\n';
}

void Shell::search(const std::string &line, const std::vector<Token> &t, const std::string &kind) {
    auto table = find_table(t, 1);
    if (!table) return;
    size_t end = t.size();
    int32_t k = kDefaultHits;
    if (kind != "search" && end >= 5 && t[end - 2].is_word("limit")) {
        if (!parse_count(t[end - 1].text, k)) return error("limit needs a positive number");
        end -= 2;
    }
    if (end <= 2) return error("usage: " + kind + " TABLE TEXT");
    std::string text;
    if (end == 3 && t[2].kind == Token::kString) {
        text = t[2].text;
    } else {
        const size_t stop = end < t.size() ? t[end].offset : line.size();
        text = line.substr(t[2].offset, stop - t[2].offset);
        text.erase(text.find_last_not_of(" \t") + 1);
    }
    Grid grid;
    Outcome o;
    if (kind == "search") {
        o = session_.text_search(*table, text, grid);
    } else if (kind == "similar") {
        o = session_.similar(*table, text, k, grid);
    } else {
        o = session_.hybrid(*table, text, k, grid);
    }
    if (!o.ok()) return report(o);
    print(grid);
}

void Shell::dot_command(const std::vector<Token> &t) {
    const Token &cmd = t[0];
    if (cmd.is_word(".help")) {
        out_ << kHelp;
    } else if (cmd.is_word(".tables")) {
        TablePrinter printer({"table", "columns", "key"}, {false, true, false});
        for (const auto &table : session_.tables()) {
            const size_t key = table.effective_key_column();
            printer.add_row({table.name, std::to_string(table.columns.size() - (table.tagged ? 1 : 0)),
                             key < table.columns.size() ? table.columns[key] : ""});
        }
        out_ << printer.render();
    } else if (cmd.is_word(".schema")) {
        std::vector<TableInfo> tables;
        if (t.size() > 1) {
            auto table = find_table(t, 1);
            if (!table) return;
            tables.push_back(*table);
        } else {
            tables = session_.tables();
        }
        for (const auto &table : tables) {
            out_ << "create " << table.name;
            for (size_t c = table.tagged ? 1 : 0; c < table.columns.size(); c++) {
                out_ << ' ' << table.columns[c] << ':' << type_name(table.types[c]);
            }
            const size_t key = table.effective_key_column();
            if (key < table.columns.size()) out_ << " key " << table.columns[key];
            out_ << '\n';
        }
    } else if (cmd.is_word(".stats")) {
        out_ << session_.stats();
    } else if (cmd.is_word(".history")) {
        if (history_ != nullptr) {
            for (size_t i = 0; i < history_->size(); i++) out_ << (i + 1) << "  " << (*history_)[i] << '\n';
        }
    } else {
        error("unknown command: " + cmd.text + " (.help lists the commands)");
    }
}

// An interactive prompt on a terminal, else commands read from standard
// input (scripts), where errors carry their line number.
int run_shell(const std::string &path) {
    std::unique_ptr<Session> session;
    if (Outcome o = Session::open(path, session); !o.ok()) {
        std::cerr << "error: " << o.message << '\n';
        return 1;
    }
    LineReader reader;
    Shell shell(*session, std::cout, std::cerr);
    shell.set_history(&reader.history());
    if (reader.interactive()) {
        std::cout << "morvadb shell on " << path << "; .help lists the commands, .quit leaves" << std::endl;
    }
    std::string line;
    uint64_t number = 0;
    while (reader.read("morvadb> ", line)) {
        number++;
        if (!reader.interactive()) shell.set_line_number(number);
        reader.add_history(line);
        if (!shell.execute(line)) break;
        std::cout.flush();
    }
    std::cout.flush();
    // A script that hit errors ends with a failure status, so callers notice.
    return !reader.interactive() && shell.errors() > 0 ? 1 : 0;
}

}  // namespace morva::cli

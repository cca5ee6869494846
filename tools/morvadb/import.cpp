// `morvadb import PATH TABLE FILE.csv` and `morvadb stats PATH`.
//
// The CSV's first record names the columns. For an existing table the names
// are matched to its columns, in any order; a table that does not exist yet
// is created from a header whose every entry is NAME:TYPE, keyed by its
// first column. Bad records are reported by line and skipped.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "commands.h"
#include "csv_reader.h"
#include "library_guard.h"
#include "row_codec.h"
#include "session.h"

namespace morva::cli {
namespace {

constexpr int kShownErrors = 10;
constexpr int kBarWidth = 30;

// A progress bar on standard error, drawn only when it is a terminal.
class Progress {
public:
    explicit Progress(uint64_t total) : total_(total), enabled_(isatty(STDERR_FILENO) != 0) {}

    void update(uint64_t done, uint64_t rows) {
        if (!enabled_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        draw(done, rows);
    }

    // Starts a fresh line for a message printed while the bar is shown.
    void interrupt() {
        if (enabled_) std::fputs("\r\x1b[K", stderr);
    }

    void finish(uint64_t rows) {
        if (!enabled_) return;
        draw(total_, rows);
        std::fputc('\n', stderr);
    }

private:
    void draw(uint64_t done, uint64_t rows) {
        const double fraction = total_ == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(total_));
        const int filled = static_cast<int>(fraction * kBarWidth);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kBarWidth - filled), ' ');
        std::fprintf(stderr, "\r[%s] %3d%%  %llu rows", bar.c_str(), static_cast<int>(fraction * 100),
                     static_cast<unsigned long long>(rows));
        std::fflush(stderr);
    }

    uint64_t total_;
    bool enabled_;
    std::chrono::steady_clock::time_point last_{};
};

// Finds or creates the table for the header; fills order[i] with the CSV
// field that holds visible column i.
bool prepare_table(Session &session, const std::string &name, const std::vector<std::string> &header,
                   TableInfo &table, std::vector<size_t> &order, std::string &error) {
    auto existing = session.table(name);
    if (!existing) {
        std::vector<std::pair<std::string, int32_t>> columns;
        for (const auto &field : header) {
            const size_t colon = field.rfind(':');
            const int32_t type = colon == std::string::npos ? -1 : parse_type_name(field.substr(colon + 1));
            if (colon == 0 || type < 0) {
                error = "table " + name + " does not exist; create it first, or name the CSV columns NAME:TYPE "
                        "(found '" + field + "')";
                return false;
            }
            columns.emplace_back(field.substr(0, colon), type);
        }
        const Outcome o = session.create_table(name, columns, "");
        if (!o.ok()) {
            error = o.message;
            return false;
        }
        existing = session.table(name);
        if (!existing) {
            error = "table " + name + " vanished after creation";
            return false;
        }
    }
    table = *existing;
    order.clear();
    for (size_t c = table.tagged ? 1 : 0; c < table.columns.size(); c++) {
        size_t found = header.size();
        for (size_t f = 0; f < header.size(); f++) {
            const std::string field = header[f].substr(0, header[f].rfind(':'));
            if (field == table.columns[c]) {
                found = f;
                break;
            }
        }
        if (found == header.size()) {
            error = "the CSV header has no column " + table.columns[c] + " of table " + name;
            return false;
        }
        order.push_back(found);
    }
    return true;
}

}  // namespace

int run_import(const std::string &path, const std::string &table_name, const std::string &csv_file) {
    std::ifstream in(csv_file, std::ios::binary);
    if (!in) {
        std::cerr << "error: cannot open " << csv_file << '\n';
        return 1;
    }
    std::error_code ec;
    const uint64_t total = std::filesystem::file_size(csv_file, ec);
    std::unique_ptr<Session> session;
    if (Outcome o = Session::open(path, session); !o.ok()) {
        std::cerr << "error: " << o.message << '\n';
        return 1;
    }
    CsvReader csv(in);
    std::vector<std::string> header, fields;
    if (!csv.next(header)) {
        std::cerr << "error: " << csv_file << " is empty\n";
        return 1;
    }
    TableInfo table;
    std::vector<size_t> order;
    std::string error;
    if (!prepare_table(*session, table_name, header, table, order, error)) {
        std::cerr << "error: " << error << '\n';
        return 1;
    }

    Progress progress(ec ? 0 : total);
    uint64_t rows = 0, failures = 0;
    std::vector<std::string> values;
    while (csv.next(fields)) {
        if (fields.size() == 1 && fields[0].empty()) continue;  // blank line
        std::string problem;
        if (csv.malformed()) {
            problem = "unterminated quoted field";
        } else if (fields.size() != header.size()) {
            problem = "expected " + std::to_string(header.size()) + " fields, found " + std::to_string(fields.size());
        } else {
            values.clear();
            for (size_t f : order) values.push_back(fields[f]);
            if (Outcome o = session->put_row(table, values); !o.ok()) problem = o.message;
        }
        if (!problem.empty()) {
            if (++failures <= kShownErrors) {
                progress.interrupt();
                std::cerr << "error: line " << csv.line() << ": " << problem << '\n';
            }
        } else {
            rows++;
        }
        progress.update(csv.bytes_read(), rows);
    }
    progress.finish(rows);
    if (failures > kShownErrors) std::cerr << "... " << (failures - kShownErrors) << " more errors\n";
    std::cout << "imported " << rows << (rows == 1 ? " row" : " rows") << " into " << table.name;
    if (failures > 0) std::cout << " (" << failures << " skipped)";
    std::cout << '\n';
    return failures > 0 ? 1 : 0;
}

int run_stats(const std::string &path) {
    // Opening creates a database; a report on a path that holds none would
    // leave one behind.
    std::error_code ec;
    if (!std::filesystem::exists(path + ".wal", ec) && !std::filesystem::exists(path + ".system", ec)) {
        std::cerr << "error: no database at " << path << '\n';
        return 1;
    }
    std::unique_ptr<Session> session;
    if (Outcome o = Session::open(path, session); !o.ok()) {
        std::cerr << "error: " << o.message << '\n';
        return 1;
    }
    std::cout << session->stats();
    return 0;
}

}  // namespace morva::cli

// The statistics report: tables and row counts, the memtables, the sorted
// table files of every level, and the search indexes.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "handle_locks.h"
#include "library_guard.h"
#include "session.h"
#include "table_printer.h"

namespace morva::cli {
namespace {

constexpr int kLevels = 8;

std::string bytes_text(uint64_t bytes) {
    char buffer[48];
    if (bytes < 10 * 1024) {
        std::snprintf(buffer, sizeof buffer, "%" PRIu64 " B", bytes);
    } else if (bytes < 10ull * 1024 * 1024) {
        std::snprintf(buffer, sizeof buffer, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
    } else {
        std::snprintf(buffer, sizeof buffer, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    }
    return buffer;
}

int32_t count_entry(const memtable_entry *, void *context) {
    ++*static_cast<uint64_t *>(context);
    return 0;
}

uint64_t entries(const memtable *mt) {
    uint64_t n = 0;
    if (mt != nullptr) memtable_iterate(mt, count_entry, &n);
    return n;
}

}  // namespace

std::string Session::stats() const {
    std::string out = "database " + path_ + "\n\n";

    TablePrinter table_list({"table", "columns", "key", "rows"}, {false, true, false, true});
    for (const auto &t : tables()) {
        std::string rows = "-";
        std::vector<std::pair<std::string, std::string>> scanned;
        if (have_queries() && scan(t, scanned).ok()) rows = std::to_string(scanned.size());
        const size_t visible = t.columns.size() - (t.tagged ? 1 : 0);
        const size_t key = t.effective_key_column();
        table_list.add_row({t.name, std::to_string(visible), key < t.columns.size() ? t.columns[key] : "", rows});
    }
    out += table_list.render(false) + "\n";

    TablePrinter memory({"memtable", "entries", "bytes", "limit"}, {false, true, true, true});
    uint64_t btree_entries = 0;
    {
        ReadLock memtables(&db_->memtable_lock);
        if (db_->memtables != nullptr) {
            const memtable *active = db_->memtables->active;
            const memtable *flushing = db_->memtables->flushing;
            memory.add_row({"active", std::to_string(entries(active)), bytes_text(active ? active->size : 0),
                            bytes_text(db_->memtables->memtable_limit)});
            if (flushing != nullptr) {
                memory.add_row({"flushing", std::to_string(entries(flushing)), bytes_text(flushing->size),
                                bytes_text(flushing->limit)});
            }
        }
    }
    {
        ReadLock store(&db_->store_lock);
        if (db_->tree != nullptr) btree_entries = db_->tree->entry_count;
    }
    out += memory.render(false);
    out += "sorted-table entries in memory: " + std::to_string(btree_entries) + "\n\n";

    compaction_level levels[kLevels] = {};
    TablePrinter files({"level", "files", "bytes"}, {true, true, true});
    if (compaction_scan_levels(path_.c_str(), levels, kLevels) == DB_OK) {
        for (int l = 0; l < kLevels; l++) {
            if (levels[l].file_count == 0) continue;
            files.add_row({std::to_string(l), std::to_string(levels[l].file_count), bytes_text(levels[l].total_bytes)});
        }
    }
    compaction_free_levels(levels, kLevels);
    out += (files.row_count() > 0 ? files.render(false) : std::string("no sorted table files\n")) + "\n";

    int32_t documents = 0, postings = 0;
    uint64_t terms = 0;
    bool vectors_present = false;
    {
        ReadLock catalog(&db_->catalog_lock);
        if (db_->fts != nullptr) {
            documents = db_->fts->doc_count;
            postings = db_->fts->posting_count;
            terms = fst_size(db_->fts->terms);
        }
        vectors_present = db_->vectors != nullptr;
    }
    out += "full-text index: " + std::to_string(documents) + " documents, " + std::to_string(terms) + " terms, " +
           std::to_string(postings) + " postings\n";
    if (vectors_present && have_vectors()) {
        out += "vector index: " + std::to_string(db_vec_count(db_)) + " vectors\n";
    } else {
        out += "vector index: none\n";
    }
    return out;
}

}  // namespace morva::cli

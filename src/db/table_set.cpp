// Loading the sorted table files into the B-tree in sequence order.
#include "db/table_set.h"

#include <algorithm>

#include "memtable/btree.h"
#include "sstable/table_reader.h"

namespace morva {
namespace {

struct Scan {
    btree *tree;
    int32_t status = DB_OK;
};

int apply_table_entry(const void *key, uint64_t key_len, const void *value, uint64_t value_len, int flags,
                      void *ctx) {
    auto *scan = static_cast<Scan *>(ctx);
    int32_t st;
    if (flags & SSTABLE_FLAG_TOMBSTONE) {
        st = btree_delete(scan->tree, key, key_len);
        if (st == DB_ERR_NOT_FOUND) st = DB_OK;
    } else {
        st = btree_upsert(scan->tree, static_cast<const uint8_t *>(key), key_len, value, value_len);
    }
    scan->status = st;
    return st;
}

}  // namespace

int32_t load_tables_into(btree *tree, const std::vector<TableFile> &oldest_first) {
    for (const TableFile &f : oldest_first) {
        int32_t why = DB_OK;
        sstable_reader *reader = open_table(f.path.c_str(), false, &why);
        // A table that cannot be read is not passed over like a file that
        // is not a table: opening without its entries would show older
        // versions of its keys, or none.
        if (!reader && (why == DB_ERR_IO || why == DB_ERR_NOMEM)) return why;
        if (!reader) continue;
        Scan scan{tree};
        sstable_reader_scan(reader, apply_table_entry, &scan);
        sstable_reader_close(reader);
        if (scan.status != DB_OK) return scan.status;
    }
    return DB_OK;
}

uint64_t highest_sequence(const std::vector<TableFile> &tables) {
    uint64_t highest = 0;
    for (const TableFile &f : tables) highest = std::max(highest, f.sequence);
    return highest;
}

}  // namespace morva

#include "query/fake_db.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace morva_test {

FakeDb::FakeDb() {
    db_ = static_cast<db_handle *>(std::calloc(1, sizeof(db_handle)));
    db_->memtables = lsm_create("fake", 1u << 30);
    db_->tree = btree_create();
    pthread_rwlock_init(&db_->catalog_lock, nullptr);
    pthread_mutex_init(&db_->wal_mutex, nullptr);
    pthread_rwlock_init(&db_->memtable_lock, nullptr);
    pthread_rwlock_init(&db_->store_lock, nullptr);
}

FakeDb::~FakeDb() {
    for (int32_t t = 0; t < db_->table_count; ++t) {
        table_schema &s = db_->tables[t];
        for (int32_t i = 0; i < s.column_count; ++i) std::free(s.column_names[i]);
        std::free(s.column_names);
        std::free(s.column_types);
    }
    lsm_destroy(db_->memtables);
    btree_destroy(db_->tree);
    pthread_rwlock_destroy(&db_->catalog_lock);
    pthread_mutex_destroy(&db_->wal_mutex);
    pthread_rwlock_destroy(&db_->memtable_lock);
    pthread_rwlock_destroy(&db_->store_lock);
    std::free(db_);
}

void FakeDb::add_table(const std::string &name, const std::vector<std::string> &columns,
                       const std::vector<int32_t> &types) {
    table_schema &s = db_->tables[db_->table_count];
    std::snprintf(s.name, sizeof s.name, "%s", name.c_str());
    s.column_count = static_cast<int32_t>(columns.size());
    s.column_types = static_cast<int32_t *>(std::calloc(columns.size() + 1, sizeof(int32_t)));
    s.column_names = static_cast<char **>(std::calloc(columns.size() + 1, sizeof(char *)));
    for (size_t i = 0; i < columns.size(); ++i) {
        s.column_types[i] = types[i];
        s.column_names[i] = strdup(columns[i].c_str());
    }
    s.key_column = -1;
    s.table_id = ++db_->table_count;
}

memtable *FakeDb::flushing() {
    if (db_->memtables->flushing == nullptr) {
        // Rotate an empty active memtable into the flushing slot.
        if (lsm_has_data(db_->memtables)) throw std::logic_error("fill the flushing memtable first");
        lsm_flush(db_->memtables);
    }
    return db_->memtables->flushing;
}

void FakeDb::put_active(const std::string &key, const std::vector<uint8_t> &value) {
    memtable_put(db_->memtables->active, 0, key.data(), key.size(), value.data(), value.size());
}

void FakeDb::delete_active(const std::string &key) {
    memtable_delete(db_->memtables->active, 0, key.data(), key.size());
}

void FakeDb::put_flushing(const std::string &key, const std::vector<uint8_t> &value) {
    memtable_put(flushing(), 0, key.data(), key.size(), value.data(), value.size());
}

void FakeDb::delete_flushing(const std::string &key) { memtable_delete(flushing(), 0, key.data(), key.size()); }

void FakeDb::put_tree(const std::string &key, const std::vector<uint8_t> &value) {
    btree_put(db_->tree, key.data(), key.size(), value.data(), value.size());
}

}  // namespace morva_test

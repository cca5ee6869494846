// Open-addressing table with linear probing and backward-shift deletion;
// the load factor stays at or below one half.
#include "vector/id_index.h"

#include <cstdlib>
#include <cstring>

namespace morva {

namespace {
uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}
}  // namespace

IdIndex::~IdIndex() { std::free(table_); }

size_t IdIndex::bucket_of(uint64_t id) const { return static_cast<size_t>(mix(id)) & (buckets_ - 1); }

IdIndex::Entry *IdIndex::lookup(uint64_t id) const {
    if (buckets_ == 0) return nullptr;
    for (size_t b = bucket_of(id);; b = (b + 1) & (buckets_ - 1)) {
        Entry *e = &table_[b];
        if (e->live == 0) return nullptr;
        if (e->id == id) return e;
    }
}

uint64_t IdIndex::find(uint64_t id) const {
    Entry *e = lookup(id);
    return e ? e->pos : kNone;
}

bool IdIndex::rehash(size_t buckets) {
    Entry *fresh = static_cast<Entry *>(std::calloc(buckets, sizeof(Entry)));
    if (!fresh) return false;
    Entry *old = table_;
    size_t old_buckets = buckets_;
    table_ = fresh;
    buckets_ = buckets;
    for (size_t i = 0; i < old_buckets; i++) {
        if (old[i].live == 0) continue;
        size_t b = bucket_of(old[i].id);
        while (table_[b].live != 0) b = (b + 1) & (buckets_ - 1);
        table_[b] = old[i];
    }
    std::free(old);
    return true;
}

bool IdIndex::reserve(size_t extra) {
    if (extra > SIZE_MAX / 4 - used_) return false;
    size_t need = used_ + extra;
    if (need * 2 <= buckets_) return true;
    size_t buckets = buckets_ ? buckets_ : 64;
    while (buckets < need * 2) {
        if (buckets > SIZE_MAX / sizeof(Entry) / 2) return false;
        buckets *= 2;
    }
    return rehash(buckets);
}

void IdIndex::add(uint64_t id, uint64_t pos) {
    if (Entry *e = lookup(id)) {
        e->live++;
        return;
    }
    size_t b = bucket_of(id);
    while (table_[b].live != 0) b = (b + 1) & (buckets_ - 1);
    table_[b] = Entry{id, pos, 1, 0};
    used_++;
}

uint32_t IdIndex::remove_first(uint64_t id) {
    Entry *e = lookup(id);
    if (!e) return 0;
    if (--e->live > 0) return e->live;
    // Backward-shift deletion keeps every probe chain unbroken.
    size_t hole = static_cast<size_t>(e - table_);
    size_t mask = buckets_ - 1;
    for (size_t b = (hole + 1) & mask; table_[b].live != 0; b = (b + 1) & mask) {
        size_t home = bucket_of(table_[b].id);
        // Move b into the hole unless its home lies cyclically in (hole, b].
        bool stays = hole <= b ? (hole < home && home <= b) : (hole < home || home <= b);
        if (!stays) {
            table_[hole] = table_[b];
            hole = b;
        }
    }
    table_[hole] = Entry{};
    used_--;
    return 0;
}

void IdIndex::set_first(uint64_t id, uint64_t pos) {
    if (Entry *e = lookup(id)) e->pos = pos;
}

void IdIndex::clear() {
    if (table_) std::memset(table_, 0, buckets_ * sizeof(Entry));
    used_ = 0;
}

}  // namespace morva

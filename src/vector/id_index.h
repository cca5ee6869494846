// Hash index from a vector id to the first live slot (flat store) or node
// (HNSW graph) holding it, kept beside the arrays so that overwrite, delete
// and get do not scan. It records how many live entries share the id: a flat
// batch may append an id that is already live, and "the first live entry
// with the id" must still be found after the first one is deleted.
//
// REQUIRES: external synchronisation (the owning store's lock).
#pragma once

#include <cstddef>
#include <cstdint>

namespace morva {

class IdIndex {
public:
    static constexpr uint64_t kNone = UINT64_MAX;

    IdIndex() = default;
    ~IdIndex();
    IdIndex(const IdIndex &) = delete;
    IdIndex &operator=(const IdIndex &) = delete;

    // First live position of id, or kNone.
    uint64_t find(uint64_t id) const;

    // Makes room for `extra` more distinct ids; false when memory runs out
    // (the index is unchanged). Call before changing the arrays so that a
    // failure leaves everything as it was.
    bool reserve(size_t extra);

    // A live entry for id was added at pos, after every existing one.
    // Requires a prior successful reserve.
    void add(uint64_t id, uint64_t pos);

    // The first live entry of id was deleted. Returns the number of live
    // entries still holding the id; when it is non-zero the caller must name
    // the next first position with set_first.
    uint32_t remove_first(uint64_t id);
    void set_first(uint64_t id, uint64_t pos);

    void clear();
    size_t size() const { return used_; }

private:
    struct Entry {
        uint64_t id;
        uint64_t pos;    // first live position
        uint32_t live;   // live entries with this id; 0 marks an empty bucket
        uint32_t pad;
    };

    size_t bucket_of(uint64_t id) const;
    Entry *lookup(uint64_t id) const;
    bool rehash(size_t buckets);

    Entry *table_ = nullptr;
    size_t buckets_ = 0;  // power of two
    size_t used_ = 0;
};

}  // namespace morva

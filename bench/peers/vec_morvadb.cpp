// This library's vector store through its public C interface: a flat store
// for exact search and an HNSW store, both in memory.
#include <cstring>
#include <vector>

#include "morvadb.h"
#include "vec_peers.h"

namespace bench {
namespace {

// Owns a store and closes it.
class Store {
public:
    ~Store() { morvadb_vec_close(store_); }
    bool create(const vec_config &config) { return morvadb_vec_create(nullptr, &config, &store_) == 0; }
    vec_store *get() const { return store_; }

private:
    vec_store *store_ = nullptr;
};

bool insert_all(vec_store *store, const VectorSet &base) {
    // Batches keep the per-call cost out of the measurement while leaving
    // every insert to the store.
    constexpr uint64_t kBatch = 10000;
    std::vector<uint64_t> ids(kBatch);
    for (uint64_t first = 0; first < base.count; first += kBatch) {
        uint64_t n = std::min(kBatch, base.count - first);
        for (uint64_t i = 0; i < n; i++) ids[i] = first + i;
        if (morvadb_vec_insert_batch(store, static_cast<uint32_t>(n), ids.data(), base.row(first)) != 0) return false;
    }
    return true;
}

class MorvaFlat : public FlatIndex {
public:
    bool build(const VectorSet &base) override {
        vec_config config{};
        config.index_type = VEC_INDEX_FLAT;
        config.metric = VEC_METRIC_L2;
        config.dimension = base.dim;
        config.capacity = static_cast<uint32_t>(base.count);
        return store_.create(config) && insert_all(store_.get(), base);
    }

    void search(uint64_t nq, const float *queries, uint32_t k, uint64_t *ids, float *distances) override {
        std::vector<vec_result> hits(k);
        const uint32_t dim = morvadb_vec_dimension(store_.get());
        for (uint64_t q = 0; q < nq; q++) {
            int32_t n = morvadb_vec_search(store_.get(), queries + q * dim, static_cast<int32_t>(k), hits.data());
            for (uint32_t i = 0; i < k; i++) {
                bool have = n > 0 && i < static_cast<uint32_t>(n);
                ids[q * k + i] = have ? hits[i].id : UINT64_MAX;
                distances[q * k + i] = have ? hits[i].distance : 0.0f;
            }
        }
    }

private:
    Store store_;
};

class MorvaHnsw : public AnnIndex {
public:
    bool build(const VectorSet &base, uint32_t m, uint32_t ef_construction) override {
        vec_config config{};
        config.index_type = VEC_INDEX_HNSW;
        config.metric = VEC_METRIC_L2;
        config.dimension = base.dim;
        config.capacity = static_cast<uint32_t>(base.count);
        config.m = m;
        config.ef_construction = ef_construction;
        // The store searches with max(ef_search, k); a minimum of 1 lets
        // each query choose its list size through k.
        config.ef_search = 1;
        return store_.create(config) && insert_all(store_.get(), base);
    }

    void search(const float *query, uint32_t k, uint32_t ef, uint64_t *ids) override {
        uint32_t wanted = std::max(k, ef);
        hits_.resize(wanted);
        int32_t n = morvadb_vec_search(store_.get(), query, static_cast<int32_t>(wanted), hits_.data());
        for (uint32_t i = 0; i < k; i++) ids[i] = n > 0 && i < static_cast<uint32_t>(n) ? hits_[i].id : UINT64_MAX;
    }

private:
    Store store_;
    std::vector<vec_result> hits_;
};

}  // namespace

std::unique_ptr<FlatIndex> make_morvadb_flat() { return std::make_unique<MorvaFlat>(); }
std::unique_ptr<AnnIndex> make_morvadb_hnsw() { return std::make_unique<MorvaHnsw>(); }

}  // namespace bench

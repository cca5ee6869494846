// Vector indexes under test behind two small interfaces: exact (flat) search
// and approximate (HNSW) search. Peers are compiled in only when found; the
// factories return null when absent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "vec_data.h"

namespace bench {

class FlatIndex {
public:
    virtual ~FlatIndex() = default;
    virtual bool build(const VectorSet &base) = 0;
    // k nearest of nq queries: ids and distances, row-major nq x k; unused
    // slots are UINT64_MAX.
    virtual void search(uint64_t nq, const float *queries, uint32_t k, uint64_t *ids, float *distances) = 0;
};

class AnnIndex {
public:
    virtual ~AnnIndex() = default;
    virtual bool build(const VectorSet &base, uint32_t m, uint32_t ef_construction) = 0;
    // The k nearest of one query with a candidate list of max(ef, k).
    virtual void search(const float *query, uint32_t k, uint32_t ef, uint64_t *ids) = 0;
};

std::unique_ptr<FlatIndex> make_morvadb_flat();
std::unique_ptr<AnnIndex> make_morvadb_hnsw();
// Exact FAISS IndexFlatL2 on one thread; null when FAISS is not in the build.
std::unique_ptr<FlatIndex> make_faiss_flat();
std::unique_ptr<AnnIndex> make_hnswlib();

}  // namespace bench

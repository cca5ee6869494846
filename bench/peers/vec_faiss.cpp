// FAISS exact search (IndexFlatL2) pinned to one thread, so it competes with
// a single-threaded scan; a batched call lets it use matrix products.
#include <faiss/IndexFlat.h>
#include <omp.h>

#include <vector>

#include "vec_peers.h"

namespace bench {
namespace {

class FaissFlat : public FlatIndex {
public:
    bool build(const VectorSet &base) override {
        omp_set_num_threads(1);
        index_ = std::make_unique<faiss::IndexFlatL2>(static_cast<faiss::Index::idx_t>(base.dim));
        index_->add(static_cast<faiss::Index::idx_t>(base.count), base.data.data());
        return true;
    }

    void search(uint64_t nq, const float *queries, uint32_t k, uint64_t *ids, float *distances) override {
        std::vector<faiss::Index::idx_t> labels(nq * k);
        index_->search(static_cast<faiss::Index::idx_t>(nq), queries, static_cast<faiss::Index::idx_t>(k), distances, labels.data());
        for (uint64_t i = 0; i < nq * k; i++) ids[i] = labels[i] < 0 ? UINT64_MAX : static_cast<uint64_t>(labels[i]);
    }

private:
    std::unique_ptr<faiss::IndexFlatL2> index_;
};

}  // namespace

std::unique_ptr<FlatIndex> make_faiss_flat() { return std::make_unique<FaissFlat>(); }

}  // namespace bench

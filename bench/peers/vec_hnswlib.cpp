// hnswlib's HierarchicalNSW with squared L2, inserting in row order.
#include <hnswlib/hnswlib.h>

#include "vec_peers.h"

namespace bench {
namespace {

class HnswLib : public AnnIndex {
public:
    bool build(const VectorSet &base, uint32_t m, uint32_t ef_construction) override {
        space_ = std::make_unique<hnswlib::L2Space>(base.dim);
        index_ = std::make_unique<hnswlib::HierarchicalNSW<float>>(space_.get(), base.count, m, ef_construction, 100);
        for (uint64_t i = 0; i < base.count; i++) index_->addPoint(base.row(i), static_cast<hnswlib::labeltype>(i));
        return true;
    }

    void search(const float *query, uint32_t k, uint32_t ef, uint64_t *ids) override {
        index_->setEf(ef);
        auto found = index_->searchKnn(query, k);
        // The queue pops farthest first.
        size_t n = found.size();
        for (uint32_t i = static_cast<uint32_t>(n); i < k; i++) ids[i] = UINT64_MAX;
        for (size_t i = n; i > 0; i--) {
            ids[i - 1] = found.top().second;
            found.pop();
        }
    }

private:
    std::unique_ptr<hnswlib::L2Space> space_;
    std::unique_ptr<hnswlib::HierarchicalNSW<float>> index_;
};

}  // namespace

std::unique_ptr<AnnIndex> make_hnswlib() { return std::make_unique<HnswLib>(); }

}  // namespace bench

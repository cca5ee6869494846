// Null factories for the peers this build was configured without.
#include "vec_peers.h"

namespace bench {

#ifndef BENCH_HAVE_FAISS
std::unique_ptr<FlatIndex> make_faiss_flat() { return nullptr; }
#endif
#ifndef BENCH_HAVE_HNSWLIB
std::unique_ptr<AnnIndex> make_hnswlib() { return nullptr; }
#endif

}  // namespace bench

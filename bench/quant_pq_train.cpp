// Product quantizer: training time on 100,000 vectors of dimension 128 with
// 16 sub-vectors, then encoding and symmetric-distance throughput with the
// trained codebooks, for the chosen kernel and for every kernel variant the
// processor runs. Thread CPU time. Prints a table and writes
// bench_quant_pq_train.csv in the working directory.
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "morvadb.h"
#include "quant/pq_kernels.h"

namespace {

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

const char *isa_name(morva::quant::KernelIsa isa) {
    switch (isa) {
    case morva::quant::KernelIsa::Avx512: return "avx512f";
    case morva::quant::KernelIsa::Avx2: return "avx2+fma";
    case morva::quant::KernelIsa::Baseline: break;
    }
    return "baseline";
}

}  // namespace

int main() {
    constexpr uint32_t kCount = 100000, kDimension = 128, kSub = 16;
    std::mt19937 rng(42);
    // Clustered data, closer to real embeddings than uniform noise.
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::uniform_real_distribution<float> centre(-1.0f, 1.0f);
    std::vector<float> centres(64 * kDimension);
    for (float &c : centres) c = centre(rng);
    std::vector<float> data(static_cast<size_t>(kCount) * kDimension);
    for (uint32_t r = 0; r < kCount; ++r) {
        const float *c = &centres[(rng() % 64) * kDimension];
        for (uint32_t d = 0; d < kDimension; ++d) data[static_cast<size_t>(r) * kDimension + d] = c[d] + noise(rng);
    }

    const quant_config config{QUANT_TYPE_PRODUCT, kDimension, kSub};
    quantizer *q = nullptr;
    if (morvadb_quant_create(&config, &q) != 0) return 1;
    double start = cpu_seconds();
    if (morvadb_quant_train(q, data.data(), kCount) != 0) return 1;
    const double train_s = cpu_seconds() - start;

    std::vector<uint8_t> codes(static_cast<size_t>(kCount) * kSub);
    start = cpu_seconds();
    for (uint32_t r = 0; r < kCount; ++r)
        morvadb_quant_encode(q, &data[static_cast<size_t>(r) * kDimension], &codes[static_cast<size_t>(r) * kSub],
                             nullptr);
    const double encode_s = cpu_seconds() - start;

    constexpr int kDistanceRounds = 20;
    volatile float sink = 0;
    start = cpu_seconds();
    for (int round = 0; round < kDistanceRounds; ++round)
        for (uint32_t r = 0; r < kCount; ++r)
            sink = sink + morvadb_quant_distance(q, codes.data(), kSub, &codes[static_cast<size_t>(r) * kSub], kSub);
    const double distance_s = cpu_seconds() - start;
    const double distances = static_cast<double>(kDistanceRounds) * kCount;

    std::printf("product quantizer, %u x %u, m = %u, kernels: %s\n", kCount, kDimension, kSub,
                isa_name(morva::quant::best_supported_isa()));
    std::printf("  %-30s %12.3f s\n", "train", train_s);
    std::printf("  %-30s %12.0f vectors/s\n", "encode", kCount / encode_s);
    std::printf("  %-30s %12.0f pairs/s\n", "symmetric distance", distances / distance_s);
    FILE *csv = std::fopen("bench_quant_pq_train.csv", "w");
    if (csv != nullptr) {
        std::fprintf(csv, "case,value,unit\n");
        std::fprintf(csv, "train,%.4f,s\nencode,%.1f,vectors_per_s\ndistance,%.1f,pairs_per_s\n", train_s,
                     kCount / encode_s, distances / distance_s);
    }

    // Every kernel variant this processor runs, on the same codes and
    // codebooks, to compare them in one run.
    for (morva::quant::KernelIsa isa :
         {morva::quant::KernelIsa::Baseline, morva::quant::KernelIsa::Avx2, morva::quant::KernelIsa::Avx512}) {
        if (!morva::quant::cpu_supports(isa)) continue;
        const morva::quant::SymmetricDistanceFn fn = morva::quant::symmetric_distance_kernel(isa);
        start = cpu_seconds();
        for (int round = 0; round < kDistanceRounds; ++round)
            for (uint32_t r = 0; r < kCount; ++r)
                sink = sink + fn(q->codebooks, codes.data(), &codes[static_cast<size_t>(r) * kSub], kSub,
                                 q->subvector_length);
        const double per_s = distances / (cpu_seconds() - start);
        std::printf("  %-30s %12.0f pairs/s\n", (std::string("distance kernel ") + isa_name(isa)).c_str(), per_s);
        if (csv != nullptr) std::fprintf(csv, "distance_%s,%.1f,pairs_per_s\n", isa_name(isa), per_s);
    }
    if (csv != nullptr) std::fclose(csv);
    morvadb_quant_destroy(q);
    return 0;
}

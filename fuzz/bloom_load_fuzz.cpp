// Bloom blocks as stored inside sorted table files (the file's CRC is not
// enforced, so the block may be anything): load, probe, insert, and check
// that serializing gives back a block that answers the same way.
#include <morvadb.h>

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    bloom_filter *filter = morvadb_bloom_load(data, size);
    if (filter == nullptr) return 0;
    // Probe with slices of the input itself: lengths 0 to 17 cover the empty,
    // tail-only, word and word-plus-tail paths of the hash.
    for (size_t len = 0; len <= 17 && len <= size; ++len) (void)morvadb_bloom_maybe(filter, data, len);

    size_t serialized = morvadb_bloom_serialized_size(filter);
    std::vector<uint8_t> block(serialized);
    morvadb_bloom_serialize(filter, block.data());
    if (serialized > size || std::memcmp(block.data(), data, serialized) != 0) abort();

    morvadb_bloom_insert(filter, data, size < 9 ? size : 9);
    if (filter->num_bits > 0 && morvadb_bloom_maybe(filter, data, size < 9 ? size : 9) != 1) abort();
    morvadb_bloom_unload(filter);
    return 0;
}

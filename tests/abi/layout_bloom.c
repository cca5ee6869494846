/* Layout of the bloom filter record as hosts see it on x86-64. */
#include <stddef.h>
#include "morvadb.h"

_Static_assert(offsetof(bloom_filter, bits) == 0, "bloom_filter.bits");
_Static_assert(offsetof(bloom_filter, num_bits) == 8, "bloom_filter.num_bits");
_Static_assert(offsetof(bloom_filter, num_hashes) == 12, "bloom_filter.num_hashes");
_Static_assert(offsetof(bloom_filter, expected_items) == 16, "bloom_filter.expected_items");
_Static_assert(BLOOM_HEADER_SIZE == 12, "serialized bloom header");

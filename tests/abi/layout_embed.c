/* Record layout of the text embedder as hosts see it on x86-64. */
#include <stddef.h>
#include "morvadb.h"

_Static_assert(offsetof(embedder, dimension) == 0, "embedder.dimension");
_Static_assert(offsetof(embedder, ngram) == 4, "embedder.ngram");
_Static_assert(offsetof(embedder, bucket_vectors) == 8, "embedder.bucket_vectors");
_Static_assert(offsetof(embedder, bucket_count) == 16, "embedder.bucket_count");
_Static_assert(sizeof(embedder) == 24, "embedder size");

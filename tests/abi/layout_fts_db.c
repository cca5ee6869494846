/* Layout of the hybrid search records as hosts on x86-64 see them. */
#include <stddef.h>
#include "morvadb.h"

_Static_assert(offsetof(hybrid_options, mode) == 0, "hybrid_options.mode");
_Static_assert(offsetof(hybrid_options, vector_weight) == 8, "hybrid_options.vector_weight");
_Static_assert(offsetof(hybrid_options, text_weight) == 16, "hybrid_options.text_weight");
_Static_assert(offsetof(hybrid_options, vector_k) == 24, "hybrid_options.vector_k");
_Static_assert(sizeof(hybrid_options) == 32, "hybrid_options size");

_Static_assert(offsetof(hybrid_result, id) == 0, "hybrid_result.id");
_Static_assert(offsetof(hybrid_result, score) == 8, "hybrid_result.score");
_Static_assert(offsetof(hybrid_result, vector_distance) == 16, "hybrid_result.vector_distance");
_Static_assert(offsetof(hybrid_result, text_score) == 24, "hybrid_result.text_score");
_Static_assert(sizeof(hybrid_result) == 32, "hybrid_result size");

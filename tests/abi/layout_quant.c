/* Record layouts of the quantizer family as hosts see them on x86-64. */
#include <stddef.h>
#include "morvadb.h"

_Static_assert(offsetof(quant_config, type) == 0, "quant_config.type");
_Static_assert(offsetof(quant_config, dimension) == 4, "quant_config.dimension");
_Static_assert(offsetof(quant_config, subquantizers) == 8, "quant_config.subquantizers");
_Static_assert(sizeof(quant_config) == 12, "quant_config size");

_Static_assert(offsetof(quantizer, type) == 0, "quantizer.type");
_Static_assert(offsetof(quantizer, dimension) == 4, "quantizer.dimension");
_Static_assert(offsetof(quantizer, subquantizers) == 8, "quantizer.subquantizers");
_Static_assert(offsetof(quantizer, mins) == 16, "quantizer.mins");
_Static_assert(offsetof(quantizer, ranges) == 24, "quantizer.ranges");
_Static_assert(offsetof(quantizer, scalar_trained) == 32, "quantizer.scalar_trained");
_Static_assert(offsetof(quantizer, codebooks) == 40, "quantizer.codebooks");
_Static_assert(offsetof(quantizer, subvector_length) == 48, "quantizer.subvector_length");
_Static_assert(offsetof(quantizer, product_trained) == 52, "quantizer.product_trained");
_Static_assert(sizeof(quantizer) == 56, "quantizer size");

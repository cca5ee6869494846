// The dictionary text embedder behind the morvadb_embed_ functions.
//
// Invariants of an embedder created here: bucket_count = 256 x dimension,
// bucket_vectors holds bucket_count x dimension floats filled by
// fill_bucket_table, and nothing is written after creation, so any number of
// threads may embed through it concurrently.
#pragma once

#include <cstddef>
#include <cstdint>

#include "morvadb.h"

namespace morva::embed {

constexpr uint32_t kLcgSeed = 42;
constexpr uint32_t kLcgMultiplier = 1103515245u;
constexpr uint32_t kLcgIncrement = 12345u;
constexpr uint32_t kFnvOffsetBasis = 0x811C9DC5u;
constexpr uint32_t kFnvPrime = 0x01000193u;
constexpr float kNormalizeThreshold = 1e-30f;

// Fills count floats with the embedder's pseudo-random sequence: a 32-bit
// linear congruential generator from state 42, each value
// ((state >> 16) & 0x7FFF) x 2^-14 - 1. Identical on every machine.
void fill_bucket_table(float *table, uint64_t count);

// 32-bit FNV-1a over the little-endian bytes of each code point.
uint32_t hash_code_points(const uint32_t *cps, size_t count);

// The embedding of text into out (emb->dimension floats).
void embed_text(const embedder &emb, const uint8_t *text, uint64_t len, float *out);

}  // namespace morva::embed

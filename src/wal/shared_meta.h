// The shared metadata file P.shared: a 24-byte record that marks the
// database as shared and counts the followers that joined.
//
// Every change is a read-modify-write of the whole file, replaced through a
// temporary file and a rename so a reader never sees half a record. Changes
// by different processes are serialized with an exclusive lock on the
// database's directory, so concurrent joins and leaves keep an exact count.
#pragma once

#include <cstdint>

#include "morvadb.h"

namespace morva {

constexpr uint64_t kSharedMetaMagic = SHARED_META_MAGIC;
constexpr uint32_t kSharedMetaVersion = SHARED_META_VERSION;
constexpr size_t kSharedMetaSize = 24;

// Encodes / decodes the file record; decode fails on a short file or another magic.
void encode_shared_meta(const shared_meta &meta, uint8_t out[kSharedMetaSize]);
bool decode_shared_meta(const uint8_t *bytes, size_t size, shared_meta *out);

}  // namespace morva

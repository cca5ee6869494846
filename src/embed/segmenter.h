// Turning text into the code-point stream that the embedder hashes: lenient
// UTF-8 decoding, then forward maximum matching against the word dictionary
// with a space after every segment. Both work in caller-provided fixed
// buffers and never allocate.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morva::embed {

// Code points decoded from one text; the rest of the text is ignored.
constexpr size_t kMaxCodePoints = 2048;
// Capacity of the segment stream.
constexpr size_t kStreamCapacity = 4096;
// Segmentation stops once the stream holds more than this many code points,
// which leaves room for one more eight-code-point word and its space.
constexpr size_t kStreamStopAbove = 4087;
constexpr uint32_t kSegmentSeparator = 0x20;

// Decodes up to kMaxCodePoints code points of text into out. Lead bytes
// take their continuation bytes without validating them; a lead byte whose
// sequence would run past the end, a stray continuation byte and the bytes
// 0xF8..0xFF are skipped. Never reads outside text[0 .. len-1].
size_t decode_utf8(const uint8_t *text, uint64_t len, uint32_t *out);

// Segments cps[0 .. count-1] by forward maximum matching and writes each
// segment followed by a space into stream (kStreamCapacity entries).
// Returns the stream length.
size_t segment_code_points(const uint32_t *cps, size_t count, uint32_t *stream);

}  // namespace morva::embed

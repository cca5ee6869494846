// Lenient UTF-8 decoding and dictionary segmentation for the embedder.
#include "embed/segmenter.h"

#include "embed/dictionary.h"

namespace morva::embed {

size_t decode_utf8(const uint8_t *text, uint64_t len, uint32_t *out) {
    size_t count = 0;
    uint64_t i = 0;
    while (i < len && count < kMaxCodePoints) {
        const uint8_t lead = text[i];
        uint64_t extra;
        uint32_t cp;
        if (lead < 0x80) {
            out[count++] = lead;
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            cp = lead & 0x07;
        } else {
            // Stray continuation byte (10xxxxxx) or 0xF8..0xFF.
            ++i;
            continue;
        }
        if (extra > len - i - 1) {
            // The sequence would run past the end of the text.
            ++i;
            continue;
        }
        for (uint64_t k = 1; k <= extra; ++k) cp = (cp << 6) | (text[i + k] & 0x3F);
        out[count++] = cp;
        i += extra + 1;
    }
    return count;
}

size_t segment_code_points(const uint32_t *cps, size_t count, uint32_t *stream) {
    size_t t = 0;
    size_t p = 0;
    while (p < count && t <= kStreamStopAbove) {
        const size_t left = count - p;
        const size_t window = left < kMaxWordCodePoints ? left : kMaxWordCodePoints;
        size_t seg = longest_word_at(cps + p, window);
        if (seg == 0) seg = 1;  // a single code point is a segment, found or not
        for (size_t k = 0; k < seg; ++k) stream[t++] = cps[p + k];
        // t is at most 4087 + 8 here; the closing space is left out only when
        // an eight-code-point word has just filled the stream to 4095.
        if (t < kStreamCapacity - 1) stream[t++] = kSegmentSeparator;
        p += seg;
    }
    return t;
}

}  // namespace morva::embed

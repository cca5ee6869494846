// Little-endian encoding helpers shared by every file format of the
// library: the log, the mapped log, sorted tables, the catalog, bloom
// blocks and the vector files. Readers are bounds-checked: a read past the
// end fails and leaves the reader in a failed state instead of touching
// memory it does not own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace morva {

inline void put_u16(uint8_t *p, uint16_t v) { std::memcpy(p, &v, 2); }
inline void put_u32(uint8_t *p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void put_u64(uint8_t *p, uint64_t v) { std::memcpy(p, &v, 8); }
inline uint16_t get_u16(const uint8_t *p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
inline uint32_t get_u32(const uint8_t *p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
inline uint64_t get_u64(const uint8_t *p) { uint64_t v; std::memcpy(&v, p, 8); return v; }

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "file formats assume a little-endian host");

// True when a + b would wrap around 64 bits; *out gets the sum otherwise.
inline bool add_overflows(uint64_t a, uint64_t b, uint64_t *out) { return __builtin_add_overflow(a, b, out); }
inline bool mul_overflows(uint64_t a, uint64_t b, uint64_t *out) { return __builtin_mul_overflow(a, b, out); }

// Reads fixed-width little-endian fields from (data, size). Every accessor
// checks the remaining length first; after the first failure ok() is false
// and every later read returns zero / null.
class ByteReader {
public:
    ByteReader(const void *data, size_t size) : p_(static_cast<const uint8_t *>(data)), size_(size) {}

    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }
    size_t size() const { return size_; }
    size_t remaining() const { return ok_ ? size_ - pos_ : 0; }
    bool at_end() const { return ok_ && pos_ == size_; }

    uint8_t u8() { const uint8_t *b = take(1); return b ? b[0] : 0; }
    uint16_t u16() { const uint8_t *b = take(2); return b ? get_u16(b) : 0; }
    uint32_t u32() { const uint8_t *b = take(4); return b ? get_u32(b) : 0; }
    uint64_t u64() { const uint8_t *b = take(8); return b ? get_u64(b) : 0; }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    int64_t i64() { return static_cast<int64_t>(u64()); }
    float f32() { uint32_t b = u32(); float f; std::memcpy(&f, &b, 4); return f; }
    double f64() { uint64_t b = u64(); double d; std::memcpy(&d, &b, 8); return d; }

    // Returns a pointer to the next n bytes and advances, or null when fewer
    // than n bytes remain.
    const uint8_t *bytes(uint64_t n) { return take(n); }
    bool skip(uint64_t n) { return take(n) != nullptr || n == 0; }
    bool seek(uint64_t offset) {
        if (!ok_ || offset > size_) { ok_ = false; return false; }
        pos_ = static_cast<size_t>(offset);
        return true;
    }

private:
    const uint8_t *take(uint64_t n) {
        if (!ok_ || n > size_ - pos_) { ok_ = false; return nullptr; }
        const uint8_t *at = p_ + pos_;
        pos_ += static_cast<size_t>(n);
        return at;
    }

    const uint8_t *p_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Appends little-endian fields to a growable byte buffer.
class ByteWriter {
public:
    std::vector<uint8_t> &buffer() { return buf_; }
    const std::vector<uint8_t> &buffer() const { return buf_; }
    size_t size() const { return buf_.size(); }
    const uint8_t *data() const { return buf_.data(); }

    void u8(uint8_t v) { buf_.push_back(v); }
    void u16(uint16_t v) { uint8_t b[2]; put_u16(b, v); raw(b, 2); }
    void u32(uint32_t v) { uint8_t b[4]; put_u32(b, v); raw(b, 4); }
    void u64(uint64_t v) { uint8_t b[8]; put_u64(b, v); raw(b, 8); }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void i64(int64_t v) { u64(static_cast<uint64_t>(v)); }
    void f32(float f) { uint32_t b; std::memcpy(&b, &f, 4); u32(b); }
    void f64(double d) { uint64_t b; std::memcpy(&b, &d, 8); u64(b); }
    void raw(const void *p, size_t n) {
        if (n == 0) return;
        const uint8_t *b = static_cast<const uint8_t *>(p);
        buf_.insert(buf_.end(), b, b + n);
    }
    void zeros(size_t n) { buf_.insert(buf_.end(), n, 0); }

private:
    std::vector<uint8_t> buf_;
};

}  // namespace morva

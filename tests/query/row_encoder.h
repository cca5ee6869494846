// Test helper: builds encoded table rows the way hosts do.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace morva_test {

class RowEncoder {
public:
    RowEncoder &i32(int32_t v) { return raw(&v, 4); }
    RowEncoder &i64(int64_t v) { return raw(&v, 8); }
    RowEncoder &f32(float v) { return raw(&v, 4); }
    RowEncoder &f64(double v) { return raw(&v, 8); }
    RowEncoder &boolean(bool v) { uint8_t b = v ? 1 : 0; return raw(&b, 1); }
    RowEncoder &str(const std::string &s) {
        i32(static_cast<int32_t>(s.size()));
        return raw(s.data(), s.size());
    }
    RowEncoder &raw(const void *p, size_t n) {
        const auto *b = static_cast<const uint8_t *>(p);
        bytes_.insert(bytes_.end(), b, b + n);
        return *this;
    }
    const std::vector<uint8_t> &bytes() const { return bytes_; }
    const uint8_t *data() const { return bytes_.data(); }
    int32_t size() const { return static_cast<int32_t>(bytes_.size()); }

private:
    std::vector<uint8_t> bytes_;
};

template <typename T>
T read_as(const void *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace morva_test

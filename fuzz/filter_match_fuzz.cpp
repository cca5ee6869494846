// Query literals and stored column values: every type code, every operator
// and any literal text, against value buffers of exactly the stated length so
// that a read past a short value is caught.
#include <morvadb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    static const char *const kOps[] = {"=", "!=", ">", "<", ">=", "<=", "==", "<>", "", "=>"};
    uint32_t type = data[0] % 9;  // the seven column types and two unknown codes
    const char *op = kOps[data[1] % (sizeof kOps / sizeof kOps[0])];
    size_t value_len = data[2] % 16;
    data += 3;
    size -= 3;
    if (value_len > size) value_len = size;
    // An exact-size heap copy: the sanitizer flags any read past value_len.
    std::unique_ptr<uint8_t[]> value(new uint8_t[value_len == 0 ? 1 : value_len]);
    if (value_len > 0) std::memcpy(value.get(), data, value_len);
    std::string literal(reinterpret_cast<const char *>(data + value_len), size - value_len);

    int32_t result = filter_match(value.get(), static_cast<int32_t>(value_len), type, op, literal.c_str());
    if (result != 0 && result != 1) abort();
    // A value is never both equal and unequal to the same literal.
    if (std::strcmp(op, "=") == 0 && result == 1 &&
        filter_match(value.get(), static_cast<int32_t>(value_len), type, "!=", literal.c_str()) == 1)
        abort();
    // Negative lengths from a confused caller must not be trusted either.
    (void)filter_match(value.get(), -1, type, op, literal.c_str());
    return 0;
}

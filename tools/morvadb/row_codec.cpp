#include "row_codec.h"

#include <morvadb.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace morva::cli {
namespace {

constexpr size_t kLengthPrefix = 4;

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

template <typename T>
void append_raw(std::string &out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}

template <typename T>
T read_raw(std::string_view bytes) {
    T value{};
    std::memcpy(&value, bytes.data(), sizeof(T));
    return value;
}

bool parse_integer(std::string_view text, int64_t min, int64_t max, int64_t &out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return false;
    if (value < min || value > max) return false;
    out = value;
    return true;
}

bool parse_floating(std::string_view text, double &out) {
    if (text.empty()) return false;
    std::string copy(text);  // strtod needs a terminator
    errno = 0;
    char *end = nullptr;
    double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size()) return false;
    // Underflow to a tiny or zero value is fine; overflow to infinity is not
    // what the user wrote unless they wrote "inf".
    if (errno == ERANGE && std::isinf(value)) return false;
    out = value;
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Blobs are written as 0x0a1b... or x'0a1b...'; any other text is taken as
// its own bytes.
bool parse_blob(std::string_view text, std::string &out, std::string &error) {
    std::string_view hex;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        hex = text.substr(2);
    } else if (text.size() >= 3 && (text[0] == 'x' || text[0] == 'X') && text[1] == '\'' && text.back() == '\'') {
        hex = text.substr(2, text.size() - 3);
    } else {
        out.assign(text);
        return true;
    }
    if (hex.size() % 2 != 0) {
        error = "hex blob needs an even number of digits";
        return false;
    }
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            error = "not a hex digit in blob";
            return false;
        }
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
}

std::string format_floating(double value, int digits) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
    return buffer;
}

}  // namespace

int32_t parse_type_name(std::string_view name) {
    const std::string n = lower(name);
    if (n == "int32" || n == "int" || n == "integer") return COL_INT32;
    if (n == "int64" || n == "bigint" || n == "long") return COL_INT64;
    if (n == "float" || n == "float32" || n == "real") return COL_FLOAT;
    if (n == "double" || n == "float64") return COL_DOUBLE;
    if (n == "string" || n == "text" || n == "str") return COL_STRING;
    if (n == "blob" || n == "bytes") return COL_BLOB;
    if (n == "bool" || n == "boolean") return COL_BOOL;
    return -1;
}

std::string type_name(int32_t type) {
    switch (type) {
        case COL_INT32: return "int32";
        case COL_INT64: return "int64";
        case COL_FLOAT: return "float";
        case COL_DOUBLE: return "double";
        case COL_STRING: return "string";
        case COL_BLOB: return "blob";
        case COL_BOOL: return "bool";
        default: return "type" + std::to_string(type);
    }
}

bool is_numeric_type(int32_t type) {
    return type == COL_INT32 || type == COL_INT64 || type == COL_FLOAT || type == COL_DOUBLE;
}

bool encode_value(int32_t type, std::string_view text, std::string &out, std::string &error) {
    switch (type) {
        case COL_INT32: {
            int64_t v = 0;
            if (!parse_integer(text, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), v)) {
                error = "not an int32 value: " + std::string(text);
                return false;
            }
            append_raw(out, static_cast<int32_t>(v));
            return true;
        }
        case COL_INT64: {
            int64_t v = 0;
            if (!parse_integer(text, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), v)) {
                error = "not an int64 value: " + std::string(text);
                return false;
            }
            append_raw(out, v);
            return true;
        }
        case COL_FLOAT:
        case COL_DOUBLE: {
            double v = 0;
            if (!parse_floating(text, v) ||
                (type == COL_FLOAT && std::isfinite(v) && std::fabs(v) > std::numeric_limits<float>::max())) {
                error = "not a " + type_name(type) + " value: " + std::string(text);
                return false;
            }
            if (type == COL_FLOAT) {
                append_raw(out, static_cast<float>(v));
            } else {
                append_raw(out, v);
            }
            return true;
        }
        case COL_BOOL: {
            const std::string t = lower(text);
            if (t == "true" || t == "1" || t == "yes" || t == "on") {
                out.push_back('\1');
            } else if (t == "false" || t == "0" || t == "no" || t == "off") {
                out.push_back('\0');
            } else {
                error = "not a bool value (true or false): " + std::string(text);
                return false;
            }
            return true;
        }
        case COL_STRING:
        case COL_BLOB:
        default: {
            std::string bytes;
            if (type == COL_BLOB) {
                if (!parse_blob(text, bytes, error)) return false;
            } else {
                bytes.assign(text);
            }
            if (bytes.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
                error = "value too long";
                return false;
            }
            append_raw(out, static_cast<int32_t>(bytes.size()));
            out += bytes;
            return true;
        }
    }
}

bool encode_row(const std::vector<int32_t> &types, const std::vector<std::string> &values, std::string &out,
                std::string &error) {
    if (values.size() != types.size()) {
        error = "expected " + std::to_string(types.size()) + " values, got " + std::to_string(values.size());
        return false;
    }
    out.clear();
    for (size_t i = 0; i < types.size(); i++) {
        if (!encode_value(types[i], values[i], out, error)) return false;
    }
    return true;
}

std::optional<std::string_view> extract_value(const std::vector<int32_t> &types, size_t column, std::string_view row) {
    if (column >= types.size()) return std::nullopt;
    size_t pos = 0;
    for (size_t i = 0;; i++) {
        size_t width = 0;
        switch (types[i]) {
            case COL_INT32:
            case COL_FLOAT: width = 4; break;
            case COL_INT64:
            case COL_DOUBLE: width = 8; break;
            case COL_BOOL: width = 1; break;
            default: {
                if (pos > row.size() || row.size() - pos < kLengthPrefix) return std::nullopt;
                const int32_t len = read_raw<int32_t>(row.substr(pos, kLengthPrefix));
                pos += kLengthPrefix;
                if (len < 0 || static_cast<size_t>(len) > row.size() - pos) return std::nullopt;
                if (i == column) return row.substr(pos, static_cast<size_t>(len));
                pos += static_cast<size_t>(len);
                continue;
            }
        }
        if (pos > row.size() || row.size() - pos < width) return std::nullopt;
        if (i == column) return row.substr(pos, width);
        pos += width;
    }
}

std::string format_value(int32_t type, std::string_view value) {
    switch (type) {
        case COL_INT32:
            if (value.size() == 4) return std::to_string(read_raw<int32_t>(value));
            break;
        case COL_INT64:
            if (value.size() == 8) return std::to_string(read_raw<int64_t>(value));
            break;
        case COL_FLOAT:
            if (value.size() == 4) return format_floating(read_raw<float>(value), 7);
            break;
        case COL_DOUBLE:
            if (value.size() == 8) return format_floating(read_raw<double>(value), 15);
            break;
        case COL_BOOL:
            if (value.size() == 1) return value[0] != 0 ? "true" : "false";
            break;
        case COL_STRING:
            return std::string(value);
        default: {
            static const char digits[] = "0123456789abcdef";
            std::string out = "0x";
            for (unsigned char c : value) {
                out.push_back(digits[c >> 4]);
                out.push_back(digits[c & 15]);
            }
            return out;
        }
    }
    return "?";
}

std::string row_key(int32_t type, std::string_view value) {
    std::string key;
    if (type == COL_INT32 && value.size() == 4) {
        key = std::to_string(read_raw<int32_t>(value));
    } else if (type == COL_INT64 && value.size() == 8) {
        key = std::to_string(read_raw<int64_t>(value));
    } else {
        key.assign(value);
    }
    key.push_back('\0');
    return key;
}

}  // namespace morva::cli

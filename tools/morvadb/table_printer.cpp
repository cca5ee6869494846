#include "table_printer.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace morva::cli {
namespace {

// Decodes one UTF-8 character at text[i]; returns its length in bytes, or 0
// for an invalid or truncated sequence.
size_t decode_utf8(std::string_view text, size_t i, uint32_t &cp) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = byte(i);
    size_t len = 0;
    if (b < 0x80) {
        cp = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        len = 2;
        cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3;
        cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4;
        cp = b & 0x07;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    for (size_t k = 1; k < len; k++) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms and surrogates are not characters.
    static const uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

size_t char_width(uint32_t cp) {
    if ((cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x200B && cp <= 0x200F) || (cp >= 0xFE00 && cp <= 0xFE0F)) {
        return 0;
    }
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
                      (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
                      (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
                      (cp >= 0x1F900 && cp <= 0x1F9FF) || (cp >= 0x20000 && cp <= 0x3FFFD);
    return wide ? 2 : 1;
}

// The longest prefix of an already printable text that fits in width columns.
std::string cut_to_width(std::string_view text, size_t width) {
    size_t used = 0, i = 0;
    while (i < text.size()) {
        uint32_t cp = 0;
        size_t len = decode_utf8(text, i, cp);
        if (len == 0) {
            len = 1;
            cp = '?';
        }
        const size_t w = char_width(cp);
        if (used + w > width) break;
        used += w;
        i += len;
    }
    return std::string(text.substr(0, i));
}

void pad(std::string &out, size_t n) { out.append(n, ' '); }

}  // namespace

size_t display_width(std::string_view text) {
    size_t width = 0;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        size_t len = decode_utf8(text, i, cp);
        if (len == 0) {
            width += 1;
            i += 1;
            continue;
        }
        width += char_width(cp);
        i += len;
    }
    return width;
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        const size_t len = decode_utf8(text, i, cp);
        const auto b = static_cast<unsigned char>(text[i]);
        if (len == 0 || (len == 1 && (b < 0x20 || b == 0x7F)) || (len == 2 && cp >= 0x80 && cp < 0xA0)) {
            if (b == '\n') {
                out += "\\n";
            } else if (b == '\t') {
                out += "\\t";
            } else if (b == '\r') {
                out += "\\r";
            } else {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\x%02x", b);
                out += buffer;
            }
            i += 1;
            continue;
        }
        out.append(text.substr(i, len));
        i += len;
    }
    return out;
}

TablePrinter::TablePrinter(std::vector<std::string> headers, std::vector<bool> right_align, size_t max_width)
    : headers_(std::move(headers)), right_align_(std::move(right_align)), max_width_(std::max<size_t>(max_width, 4)) {
    right_align_.resize(headers_.size(), false);
}

void TablePrinter::add_row(std::vector<std::string> cells) {
    cells.resize(headers_.size());
    for (std::string &cell : cells) {
        cell = printable(cell);
        if (display_width(cell) > max_width_) cell = cut_to_width(cell, max_width_ - 3) + "...";
    }
    rows_.push_back(std::move(cells));
}

std::string TablePrinter::render(bool footer) const {
    const size_t n = headers_.size();
    std::vector<std::string> heads(n);
    std::vector<size_t> widths(n);
    for (size_t c = 0; c < n; c++) {
        heads[c] = printable(headers_[c]);
        widths[c] = display_width(heads[c]);
        for (const auto &row : rows_) widths[c] = std::max(widths[c], display_width(row[c]));
    }
    std::string out;
    const auto line = [&](const std::vector<std::string> &cells, bool header) {
        for (size_t c = 0; c < n; c++) {
            out += c == 0 ? " " : " | ";
            const size_t gap = widths[c] - display_width(cells[c]);
            const bool right = right_align_[c] && !header;
            if (right) pad(out, gap);
            out += cells[c];
            if (!right && c + 1 < n) pad(out, gap);
        }
        out += '\n';
    };
    if (n > 0) {
        line(heads, true);
        for (size_t c = 0; c < n; c++) {
            if (c > 0) out += '+';
            out.append(widths[c] + 2, '-');
        }
        out += '\n';
        for (const auto &row : rows_) line(row, false);
    }
    if (footer) out += "(" + std::to_string(rows_.size()) + (rows_.size() == 1 ? " row)\n" : " rows)\n");
    return out;
}

}  // namespace morva::cli

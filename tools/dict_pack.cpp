// Build-time packer for the built-in word dictionary. Reads the committed
// word list (one UTF-8 word per line, see data/dict_words.txt), checks that
// it is what the segmenter's binary search needs (strictly ascending by
// unsigned bytes, no duplicates, 1 to 8 code points per word), and writes
// the two blobs the assembler embeds into the library:
//   dict_pool.bin     the words, each followed by a NUL byte
//   dict_offsets.bin  one little-endian u32 per word: its start in the pool
//   dict_first.bin    65,537 little-endian u32: entry c is the index of the
//                     first word whose first code point is >= c, so the words
//                     starting with a BMP code point c are [first[c], first[c+1])
// Usage: dict_pack <word list> <output directory>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxWordCodePoints = 8;

// Code points of a well-formed UTF-8 string, or 0 when it is malformed.
size_t count_code_points(const std::string &word) {
    size_t count = 0;
    for (size_t i = 0; i < word.size();) {
        const auto lead = static_cast<unsigned char>(word[i]);
        size_t width = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (width == 0 || i + width > word.size()) return 0;
        for (size_t k = 1; k < width; ++k)
            if ((static_cast<unsigned char>(word[i + k]) & 0xC0) != 0x80) return 0;
        i += width;
        ++count;
    }
    return count;
}

// First code point of a well-formed UTF-8 word.
uint32_t first_code_point(const std::string &word) {
    const auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(word[i])); };
    const uint32_t lead = b(0);
    if (lead < 0x80) return lead;
    if ((lead >> 5) == 0x6) return ((lead & 0x1F) << 6) | (b(1) & 0x3F);
    if ((lead >> 4) == 0xE) return ((lead & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    return ((lead & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
}

void append_u32(std::vector<unsigned char> &out, uint32_t v) {
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<unsigned char>(v >> (8 * b)));
}

bool write_file(const std::string &path, const void *data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::cerr << "usage: dict_pack <word list> <output directory>\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::cerr << "dict_pack: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::vector<char> pool;
    std::vector<uint32_t> offsets;
    std::vector<uint32_t> first_cps;
    std::string word, previous;
    size_t line_no = 0;
    while (std::getline(in, word)) {
        ++line_no;
        const size_t code_points = count_code_points(word);
        if (code_points == 0 || code_points > kMaxWordCodePoints || word.find('\0') != std::string::npos) {
            std::cerr << "dict_pack: line " << line_no << ": not a word of 1 to 8 code points\n";
            return 1;
        }
        // std::string compares char_traits<char>, which orders as unsigned bytes.
        if (!offsets.empty() && !(previous < word)) {
            std::cerr << "dict_pack: line " << line_no << ": not in strictly ascending byte order\n";
            return 1;
        }
        if (pool.size() > UINT32_MAX - word.size() - 1) {
            std::cerr << "dict_pack: pool exceeds 32-bit offsets\n";
            return 1;
        }
        offsets.push_back(static_cast<uint32_t>(pool.size()));
        first_cps.push_back(first_code_point(word));
        pool.insert(pool.end(), word.begin(), word.end());
        pool.push_back('\0');
        previous.swap(word);
    }
    if (offsets.empty()) {
        std::cerr << "dict_pack: empty word list\n";
        return 1;
    }
    std::vector<unsigned char> offset_bytes;
    for (uint32_t offset : offsets) append_u32(offset_bytes, offset);
    // Byte order of UTF-8 is code point order, so the first code points
    // ascend with the words.
    std::vector<unsigned char> first_bytes;
    size_t next_word = 0;
    for (uint32_t cp = 0; cp <= 0x10000; ++cp) {
        while (next_word < first_cps.size() && first_cps[next_word] < cp) ++next_word;
        append_u32(first_bytes, static_cast<uint32_t>(next_word));
    }
    const std::string dir = argv[2];
    if (!write_file(dir + "/dict_pool.bin", pool.data(), pool.size()) ||
        !write_file(dir + "/dict_offsets.bin", offset_bytes.data(), offset_bytes.size()) ||
        !write_file(dir + "/dict_first.bin", first_bytes.data(), first_bytes.size())) {
        std::cerr << "dict_pack: cannot write into " << dir << "\n";
        return 1;
    }
    return 0;
}

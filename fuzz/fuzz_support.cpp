#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace morva::fuzz {
namespace {

struct ScratchDir {
    std::string path;

    ScratchDir() {
        // tools/fuzz.sh points this at a directory it removes afterwards, so
        // runs that end by a crash or a timeout leave nothing behind.
        const char *base = std::getenv("MORVADB_FUZZ_SCRATCH");
        if (base == nullptr || *base == '\0') base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/morvadb-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) abort();
        path = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

const std::string &scratch_dir() {
    static ScratchDir dir;
    return dir.path;
}

std::string scratch_path(std::string_view name) { return scratch_dir() + "/" + std::string(name); }

bool write_file(const std::string &path, const uint8_t *data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0;
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string_view> split_parts(const uint8_t *data, size_t size, size_t count) {
    std::vector<std::string_view> parts;
    std::string_view rest(reinterpret_cast<const char *>(data), size);
    while (parts.size() + 1 < count) {
        size_t at = rest.find(kPartSeparator);
        if (at == std::string_view::npos) break;
        parts.push_back(rest.substr(0, at));
        rest.remove_prefix(at + kPartSeparator.size());
    }
    parts.push_back(rest);
    while (parts.size() < count) parts.emplace_back();
    return parts;
}

std::string join_parts(const std::vector<std::string> &parts) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += kPartSeparator;
        out += parts[i];
    }
    return out;
}

}  // namespace morva::fuzz

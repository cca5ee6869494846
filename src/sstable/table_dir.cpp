// Directory listing of sorted table files (sstable_scan_dir) and the name
// parsing it shares with the compaction census.
#include "sstable/table_dir.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "morvadb.h"

namespace morva {

PrefixParts split_prefix(const char *prefix) {
    PrefixParts parts;
    const char *slash = std::strrchr(prefix, '/');
    if (slash == nullptr) {
        parts.dir = std::string(1, '.');
        parts.base = prefix;
        return parts;
    }
    parts.has_slash = true;
    parts.dir.assign(prefix, static_cast<size_t>(slash - prefix));
    parts.base = slash + 1;
    return parts;
}

std::string join_path(const PrefixParts &parts, const char *name, bool bare) {
    if (bare) return name;
    // A prefix directly under the root ("/db") lists "/".
    std::string path = parts.dir;
    path += '/';
    path += name;
    return path;
}

static std::string listing_dir(const PrefixParts &parts) { return parts.dir.empty() ? "/" : parts.dir; }

bool is_listable_file(const std::string &dir, const char *name, unsigned char d_type) {
    if (d_type == DT_DIR) return false;
    if (d_type != DT_UNKNOWN) return true;
    struct stat st;
    std::string path = dir;
    path += '/';
    path += name;
    if (::stat(path.c_str(), &st) != 0) return true;
    return !S_ISDIR(st.st_mode);
}

int64_t leading_decimal(const char *text) {
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        int digit = *text - '0';
        if (value > (INT64_MAX - digit) / 10) return INT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

static const char *after_table_marker(const std::string &base, const char *name) {
    size_t n = base.size();
    if (std::strncmp(name, base.c_str(), n) != 0 || std::strncmp(name + n, ".sst.", 5) != 0) return nullptr;
    return name + n + 5;
}

bool parse_table_name(const std::string &base, const char *name, int64_t *level, const char **rest) {
    const char *p = after_table_marker(base, name);
    if (p == nullptr) return false;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    int64_t value = leading_decimal(p);
    while (*p >= '0' && *p <= '9') p++;
    if (*p != '.') return false;
    *level = negative ? -value : value;
    *rest = p + 1;
    return true;
}

bool is_temporary_name(const char *name) {
    size_t n = std::strlen(name);
    return n >= 4 && std::strcmp(name + n - 4, ".tmp") == 0;
}

}  // namespace morva

using namespace morva;

extern "C" MORVADB_API int sstable_scan_dir(const char *path_prefix, char **out_paths, int max_paths,
                                            uint64_t *out_max_sequence) {
    if (path_prefix == nullptr || out_paths == nullptr || max_paths < 1) return DB_ERR_INVALID;
    try {
        PrefixParts parts = split_prefix(path_prefix);
        std::string dir = listing_dir(parts);
        DIR *d = ::opendir(dir.c_str());
        if (d == nullptr) return 0;
        std::unique_ptr<DIR, int (*)(DIR *)> closer(d, ::closedir);
        int stored = 0;
        uint64_t max_sequence = 0;
        struct dirent *e;
        while (stored < max_paths && (e = ::readdir(d)) != nullptr) {
            const char *rest = after_table_marker(parts.base, e->d_name);
            if (rest == nullptr) continue;
            const char *dot = std::strchr(rest, '.');
            if (dot == nullptr) continue;
            if (!is_listable_file(dir, e->d_name, e->d_type)) continue;
            uint64_t sequence = static_cast<uint64_t>(leading_decimal(dot + 1));
            if (sequence > max_sequence) max_sequence = sequence;
            std::string path = join_path(parts, e->d_name, !parts.has_slash);
            char *copy = strdup(path.c_str());
            if (copy == nullptr) break;
            out_paths[stored++] = copy;
        }
        if (out_max_sequence != nullptr) *out_max_sequence = max_sequence;
        return stored;
    } catch (const std::bad_alloc &) {
        return DB_ERR_NOMEM;
    }
}

// Full-text queries as users type them: any bytes, parsed into arrays of
// several sizes. Items must stay NUL-terminated inside their fixed fields and
// the parser must never write past max_terms.
#include <morvadb.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void check_terms(const query_term *terms, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        const query_term &t = terms[i];
        if (t.kind < QT_TERM || t.kind > QT_RANGE) abort();
        if (memchr(t.field, 0, sizeof t.field) == nullptr) abort();
        if (memchr(t.text, 0, sizeof t.text) == nullptr) abort();
        if (memchr(t.upper, 0, sizeof t.upper) == nullptr) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string query(reinterpret_cast<const char *>(data), size);  // c_str() adds the NUL
    for (int32_t max_terms : {0, 1, 3, 64}) {
        // One spare slot past max_terms detects writes beyond the limit.
        std::vector<query_term> terms(static_cast<size_t>(max_terms) + 1);
        std::memset(terms.data(), 0xA5, terms.size() * sizeof(query_term));
        query_term guard;
        std::memcpy(&guard, &terms[static_cast<size_t>(max_terms)], sizeof guard);
        int32_t n = fts_query_parse(query.c_str(), terms.data(), max_terms);
        if (n < 0 || n > max_terms) abort();
        check_terms(terms.data(), n);
        if (std::memcmp(&guard, &terms[static_cast<size_t>(max_terms)], sizeof guard) != 0) abort();
    }
    return 0;
}

// BM25 relevance of one term in one document, with the idf smoothed by +1
// so that a term present in most documents still scores above zero.
#include <cmath>

#include "morvadb.h"

extern "C" MORVADB_API double bm25_score(double tf, double doc_len, double avg_doc_len, double total_docs,
                                         double doc_freq, double k1, double b) {
    if (doc_freq <= 0 || total_docs <= 0) return 0.0;
    const double idf = std::log((total_docs - doc_freq + 0.5) / (doc_freq + 0.5) + 1.0);
    // Without a positive average length (an empty corpus) the document is
    // scored as one of average length rather than dividing by zero into an
    // infinite or NaN score that would poison any ranking.
    const double length_part = avg_doc_len > 0 ? b * doc_len / avg_doc_len : b;
    return idf * tf * (k1 + 1.0) / (tf + k1 * (1.0 - b + length_part));
}

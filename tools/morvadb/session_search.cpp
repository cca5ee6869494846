// Full-text, vector and hybrid search over table rows.
//
// The handle's full-text index and vector index know documents only by
// number. Indexing a row adds its text as one document to the full-text
// index and embeds the same text into the vector index under the document's
// number, so both rankings name a row by the same id and hybrid search can
// fuse them. The id-to-row map lives in this session; like the library's
// indexes it is rebuilt by indexing again after the database is reopened.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "handle_locks.h"
#include "library_guard.h"
#include "row_codec.h"
#include "session.h"

namespace morva::cli {
namespace {

constexpr uint32_t kEmbeddingDimension = 64;
// Vector and hybrid searches gather this many candidates at most before
// keeping the ones of the searched table.
constexpr int32_t kMaxCandidates = 4096;
// Most terms taken from one document.
constexpr size_t kMaxTerms = 100000;

struct TokenizerDeleter {
    void operator()(tokenizer *t) const { tokenizer_destroy(t); }
};
struct ResultDeleter {
    void operator()(result_set *rs) const { rs_close(rs); }
};

// Document terms and query words meet in lower case: the index looks query
// words up exactly as written.
std::vector<std::string> terms_of(const std::string &text) {
    std::unique_ptr<tokenizer, TokenizerDeleter> tok(tokenizer_create());
    if (!tok) throw std::bad_alloc();
    // Every token takes at least two bytes of text; past kMaxTerms a very long
    // text is indexed by its beginning.
    std::vector<token> tokens(std::min<size_t>(text.size() / 2 + 1, kMaxTerms));
    const int32_t n = tokenizer_tokenize(tok.get(), text.data(), text.size(), tokens.data(),
                                         static_cast<int32_t>(tokens.size()));
    std::vector<std::string> terms;
    for (int32_t i = 0; i < n; i++) terms.emplace_back(tokens[i].text, tokens[i].length);
    std::sort(terms.begin(), terms.end());
    terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
    return terms;
}

std::string format_score(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4f", value);
    return buffer;
}

}  // namespace

std::string Session::indexed_column(const TableInfo &table) const {
    const auto it = indexed_columns_.find(table.name);
    return it != indexed_columns_.end() ? it->second : std::string();
}

Outcome Session::ensure_vector_index() {
    // Without the vector family the rows are indexed for full-text search only.
    if (!have_vectors()) return Outcome::success();
    {
        ReadLock catalog(&db_->catalog_lock);
        if (db_->vectors != nullptr && db_->embed != nullptr) return Outcome::success();
    }
    db_vec_options options{};
    options.dimension = kEmbeddingDimension;
    const int32_t rc = db_vec_create_index(db_, &options);
    if (rc != 0) return Outcome::failure(rc, "cannot create the vector index (status " + std::to_string(rc) + ")");
    return Outcome::success();
}

Outcome Session::index_row(const TableInfo &table, const std::string &key, const std::string &row) {
    const std::string column = indexed_column(table);
    const int32_t c = table.find_column(column);
    if (c < 0) return Outcome::success();
    const auto value = extract_value(table.types, static_cast<size_t>(c), row);
    const std::string text = value ? format_value(table.types[static_cast<size_t>(c)], *value) : std::string();
    forget_row(table, key);

    const std::vector<std::string> terms = terms_of(text);
    std::vector<const char *> term_ptrs;
    for (const auto &t : terms) term_ptrs.push_back(t.c_str());
    uint64_t doc = 0;
    {
        // Adding documents must not overlap a search on the handle.
        WriteLock catalog(&db_->catalog_lock);
        if (db_->fts == nullptr) return Outcome::failure(DB_ERR_INVALID, "the database has no full-text index");
        doc = db_->fts->next_doc_id;
        const int32_t rc = fts_index_add_document(db_->fts, term_ptrs.data(), text.c_str(), nullptr,
                                                  static_cast<int32_t>(term_ptrs.size()));
        if (rc != DB_OK) return Outcome::library(rc, "index");
    }
    docs_[doc] = {table.name, key};
    doc_of_row_[{table.name, key}] = doc;
    if (have_vectors()) {
        const int32_t rc = db_vec_insert_text(db_, doc, text.data(), text.size());
        if (rc != 0) return Outcome::failure(rc, "vector insert failed (status " + std::to_string(rc) + ")");
    }
    return Outcome::success();
}

void Session::forget_row(const TableInfo &table, const std::string &key) {
    const auto it = doc_of_row_.find({table.name, key});
    if (it == doc_of_row_.end()) return;
    // The full-text index cannot remove a document; dropping it from the map
    // makes searches pass over it.
    if (have_vectors()) db_vec_delete(db_, it->second);
    docs_.erase(it->second);
    doc_of_row_.erase(it);
}

Outcome Session::index(const TableInfo &table, const std::string &column, size_t &indexed) {
    indexed = 0;
    const int32_t c = table.find_column(column);
    if (c < 0 || (table.tagged && c == 0)) {
        return Outcome::failure(DB_ERR_INVALID, "no column " + column + " in table " + table.name);
    }
    if (Outcome o = ensure_vector_index(); !o.ok()) return o;
    std::vector<std::pair<std::string, std::string>> rows;
    if (Outcome o = scan(table, rows); !o.ok()) return o;
    indexed_columns_[table.name] = column;
    for (const auto &[key, row] : rows) {
        if (Outcome o = index_row(table, key, row); !o.ok()) return o;
        indexed++;
    }
    return Outcome::success();
}

// A hit is shown by its key column and the indexed text; `get` shows the
// whole row.
std::vector<size_t> Session::hit_columns(const TableInfo &table) const {
    std::vector<size_t> columns{table.effective_key_column()};
    const int32_t text = table.find_column(indexed_column(table));
    if (text >= 0 && static_cast<size_t>(text) != columns[0]) columns.push_back(static_cast<size_t>(text));
    return columns;
}

void Session::add_hit_headers(const TableInfo &table, Grid &out) const {
    for (size_t c : hit_columns(table)) {
        out.headers.push_back(table.columns[c]);
        out.numeric.push_back(is_numeric_type(table.types[c]));
    }
}

void Session::append_hit(const TableInfo &table, const std::string &row, std::vector<std::string> &cells) const {
    for (size_t c : hit_columns(table)) {
        const auto value = extract_value(table.types, c, row);
        cells.push_back(value ? format_value(table.types[c], *value) : "NULL");
    }
}

std::optional<std::string> Session::document_row(const TableInfo &table, uint64_t doc) const {
    const auto it = docs_.find(doc);
    if (it == docs_.end() || it->second.table != table.name) return std::nullopt;
    int32_t status = DB_OK;
    auto row = fetch(table, it->second.key, status);
    if (row && !belongs_to(table, *row)) row.reset();
    return row;
}

Outcome Session::text_search(const TableInfo &table, const std::string &query, Grid &out) {
    if (!have_text_search()) return Outcome::failure(DB_ERR_INVALID, missing_message("full-text search"));
    const std::string column = indexed_column(table);
    if (column.empty()) {
        return Outcome::failure(DB_ERR_INVALID, "table " + table.name + " is not indexed; run: index " + table.name +
                                                    " COLUMN");
    }
    result_set *raw = nullptr;
    const int32_t rc = db_fts_search(db_, table.name.c_str(), column.c_str(), ascii_lower(query).c_str(), &raw);
    std::unique_ptr<result_set, ResultDeleter> rs(raw);
    if (rc != DB_OK) return Outcome::library(rc, "search");
    // The library leaves full-text scores at 0 unless it ranks hits; the
    // column is shown only when some hit has a score.
    bool scored = false;
    std::vector<std::pair<double, std::vector<std::string>>> hits;
    while (rs_next(rs.get())) {
        const void *id_data = nullptr, *score_data = nullptr;
        uint64_t id_len = 0, score_len = 0;
        rs_get_column(rs.get(), 0, &id_data, &id_len);
        rs_get_column(rs.get(), 1, &score_data, &score_len);
        int64_t id = 0;
        double score = 0;
        if (id_data == nullptr || id_len != sizeof id) continue;
        std::memcpy(&id, id_data, sizeof id);
        if (score_data != nullptr && score_len == sizeof score) std::memcpy(&score, score_data, sizeof score);
        const auto row = document_row(table, static_cast<uint64_t>(id));
        if (!row) continue;
        std::vector<std::string> cells;
        append_hit(table, *row, cells);
        scored = scored || score != 0.0;
        hits.emplace_back(score, std::move(cells));
    }
    if (scored) out.headers = {"score"}, out.numeric = {true};
    add_hit_headers(table, out);
    for (auto &[score, cells] : hits) {
        if (scored) cells.insert(cells.begin(), format_score(score));
        out.rows.push_back(std::move(cells));
    }
    return Outcome::success();
}

Outcome Session::similar(const TableInfo &table, const std::string &text, int32_t k, Grid &out) {
    if (!have_vectors()) return Outcome::failure(DB_ERR_INVALID, missing_message("vector index"));
    if (indexed_column(table).empty()) {
        return Outcome::failure(DB_ERR_INVALID, "table " + table.name + " is not indexed; run: index " + table.name +
                                                    " COLUMN");
    }
    const int32_t candidates = std::clamp(db_vec_count(db_), 1, kMaxCandidates);
    std::vector<vec_result> hits(static_cast<size_t>(candidates));
    const int32_t n = db_vec_search_text(db_, text.data(), text.size(), candidates, hits.data());
    if (n < 0) return Outcome::failure(n, "vector search failed (status " + std::to_string(n) + ")");
    out.headers = {"distance"};
    out.numeric = {true};
    add_hit_headers(table, out);
    for (int32_t i = 0; i < n && static_cast<int32_t>(out.rows.size()) < k; i++) {
        const auto row = document_row(table, hits[static_cast<size_t>(i)].id);
        if (!row) continue;
        std::vector<std::string> cells{format_score(hits[static_cast<size_t>(i)].distance)};
        append_hit(table, *row, cells);
        out.rows.push_back(std::move(cells));
    }
    return Outcome::success();
}

Outcome Session::hybrid(const TableInfo &table, const std::string &text, int32_t k, Grid &out) {
    if (!have_hybrid()) return Outcome::failure(DB_ERR_INVALID, missing_message("hybrid search"));
    const std::string column = indexed_column(table);
    if (column.empty()) {
        return Outcome::failure(DB_ERR_INVALID, "table " + table.name + " is not indexed; run: index " + table.name +
                                                    " COLUMN");
    }
    std::vector<float> query(kEmbeddingDimension);
    {
        ReadLock catalog(&db_->catalog_lock);
        if (db_->embed == nullptr || morvadb_embed_dimensions(db_->embed) != kEmbeddingDimension ||
            morvadb_embed_text(db_->embed, text.data(), text.size(), query.data()) != 0) {
            return Outcome::failure(DB_ERR_INVALID, "the vector index has no usable embedder");
        }
    }
    const int32_t candidates = std::clamp(db_vec_count(db_), 1, kMaxCandidates);
    hybrid_options options{};
    options.mode = 0;
    options.vector_weight = 1.0;
    options.text_weight = 1.0;
    options.vector_k = static_cast<uint32_t>(candidates);
    // Text hits are at most 1,024 ids; room for both sides keeps every fused id.
    std::vector<hybrid_result> fused(static_cast<size_t>(candidates) + 1024);
    const int32_t n = db_hybrid_search(db_, table.name.c_str(), column.c_str(), ascii_lower(text).c_str(),
                                       query.data(), &options, fused.data(), static_cast<int32_t>(fused.size()));
    if (n < 0) return Outcome::library(n, "hybrid search");
    out.headers = {"score", "distance", "text score"};
    out.numeric = {true, true, true};
    add_hit_headers(table, out);
    for (int32_t i = 0; i < n && static_cast<int32_t>(out.rows.size()) < k; i++) {
        const hybrid_result &h = fused[static_cast<size_t>(i)];
        const auto row = document_row(table, h.id);
        if (!row) continue;
        std::vector<std::string> cells{format_score(h.score), format_score(h.vector_distance),
                                       format_score(h.text_score)};
        append_hit(table, *row, cells);
        out.rows.push_back(std::move(cells));
    }
    return Outcome::success();
}

}  // namespace morva::cli

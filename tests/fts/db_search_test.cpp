// Database full-text calls over a handle holding a catalog and an index.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "morvadb.h"

namespace {

// A handle with one table ("docs") and an empty full-text index.
class SearchHandle {
public:
    SearchHandle() {
        db_ = static_cast<db_handle *>(std::calloc(1, sizeof(db_handle)));
        pthread_rwlock_init(&db_->catalog_lock, nullptr);
        std::snprintf(db_->tables[0].name, sizeof db_->tables[0].name, "docs");
        db_->table_count = 1;
        db_->fts = fts_index_create();
        tok_ = tokenizer_create();
    }
    ~SearchHandle() {
        tokenizer_destroy(tok_);
        fts_index_destroy(db_->fts);
        pthread_rwlock_destroy(&db_->catalog_lock);
        std::free(db_);
    }
    db_handle *get() { return db_; }

    // Tokenizes text and adds it as the next document, as a host would.
    uint64_t add(const std::string &text) {
        std::vector<token> tokens(64);
        int32_t n = tokenizer_tokenize(tok_, text.data(), text.size(), tokens.data(), 64);
        std::vector<const char *> terms;
        for (int32_t i = 0; i < n; ++i) terms.push_back(tokens[static_cast<size_t>(i)].text);
        pthread_rwlock_wrlock(&db_->catalog_lock);
        uint64_t id = db_->fts->next_doc_id;
        EXPECT_EQ(fts_index_add_document(db_->fts, terms.data(), text.c_str(), nullptr, n), DB_OK);
        pthread_rwlock_unlock(&db_->catalog_lock);
        return id;
    }

    std::vector<int64_t> search(const char *query, int32_t *status) {
        result_set *rs = nullptr;
        *status = db_fts_search(db_, "docs", "body", query, &rs);
        std::vector<int64_t> ids;
        if (*status != DB_OK) {
            EXPECT_EQ(rs, nullptr);
            return ids;
        }
        EXPECT_EQ(rs->search_mode, 1);
        EXPECT_EQ(rs->cursor, -1);
        while (rs_next(rs)) {
            const void *data;
            uint64_t len;
            EXPECT_EQ(rs_get_column(rs, 0, &data, &len), DB_OK);
            int64_t id;
            std::memcpy(&id, data, sizeof id);
            ids.push_back(id);
            EXPECT_EQ(rs_get_column(rs, 1, &data, &len), DB_OK);
            EXPECT_EQ(len, 8u);
            double score;
            std::memcpy(&score, data, sizeof score);
            EXPECT_EQ(score, 0.0);
        }
        rs_close(rs);
        return ids;
    }

private:
    db_handle *db_;
    tokenizer *tok_;
};

TEST(DbFtsSearch, FindsTokenizedDocumentsThroughTheHandle) {
    SearchHandle h;
    uint64_t a = h.add("The cat sat on the mat");
    uint64_t b = h.add("A dog chased the cat");
    uint64_t c = h.add("Hello world");
    int32_t status;
    // Each term finds the latest document holding it; ids are collected in
    // discovery order without repeats.
    EXPECT_EQ(h.search("cat cat", &status), std::vector<int64_t>{static_cast<int64_t>(b)});
    EXPECT_EQ(status, DB_OK);
    EXPECT_EQ(h.search("mat OR dog", &status), (std::vector<int64_t>{static_cast<int64_t>(a), static_cast<int64_t>(b)}));
    EXPECT_EQ(h.search("helo~0", &status), std::vector<int64_t>{static_cast<int64_t>(c)});  // distance at least 1
    EXPECT_EQ(h.search("wrld~1 nothing", &status), std::vector<int64_t>{static_cast<int64_t>(c)});
    EXPECT_EQ(h.search("Hello", &status), std::vector<int64_t>{});  // looked up as written
    EXPECT_EQ(status, DB_OK);
    EXPECT_EQ(h.get()->last_error, DB_OK);
}

TEST(DbFtsSearch, ReportsBadQueriesTablesAndArguments) {
    SearchHandle h;
    h.add("not a stop word here");
    int32_t status;
    h.search("   ", &status);
    EXPECT_EQ(status, DB_ERR_INVALID);
    EXPECT_EQ(h.get()->last_error, DB_ERR_INVALID);
    h.search("NOT", &status);  // a lone NOT is an ordinary word
    EXPECT_EQ(status, DB_OK);

    result_set *rs = reinterpret_cast<result_set *>(0x1);
    EXPECT_EQ(db_fts_search(h.get(), "other", "body", "word", &rs), DB_ERR_NOT_FOUND);
    EXPECT_EQ(h.get()->last_error, DB_ERR_NOT_FOUND);
    EXPECT_EQ(rs, reinterpret_cast<result_set *>(0x1));  // untouched on failure

    h.get()->last_error = 123;
    EXPECT_EQ(db_fts_search(nullptr, "docs", "body", "x", &rs), DB_ERR_INVALID);
    EXPECT_EQ(db_fts_search(h.get(), "docs", nullptr, "x", &rs), DB_ERR_INVALID);
    EXPECT_EQ(db_fts_search(h.get(), "docs", "body", nullptr, &rs), DB_ERR_INVALID);
    EXPECT_EQ(db_fts_search(h.get(), "docs", "body", "x", nullptr), DB_ERR_INVALID);
    EXPECT_EQ(h.get()->last_error, 123);  // argument errors are not recorded

    fts_index *idx = h.get()->fts;
    h.get()->fts = nullptr;
    EXPECT_EQ(db_fts_search(h.get(), "docs", "body", "x", &rs), DB_ERR_INVALID);
    h.get()->fts = idx;
}

TEST(DbFtsSearch, MissingWordsGiveAnEmptyResult) {
    SearchHandle h;
    h.add("alpha beta");
    result_set *rs = nullptr;
    ASSERT_EQ(db_fts_search(h.get(), "docs", "body", "gamma", &rs), DB_OK);
    ASSERT_NE(rs, nullptr);
    EXPECT_EQ(rs->row_count, 0);
    EXPECT_EQ(rs->column_count, 2);
    EXPECT_STREQ(rs->column_names[0], "doc_id");
    EXPECT_STREQ(rs->column_names[1], "score");
    EXPECT_EQ(rs_next(rs), 0);
    rs_close(rs);
}

TEST(DbFtsSearch, CollectsAtMost1024Ids) {
    SearchHandle h;
    // 2000 single-term documents with distinct terms t0000..t1999; fuzzy
    // lookups return up to 256 ids each.
    for (int i = 0; i < 2000; ++i) {
        char term[16];
        std::snprintf(term, sizeof term, "t%04d", i);
        const char *terms[] = {term};
        ASSERT_EQ(fts_index_add_document(h.get()->fts, terms, term, nullptr, 1), DB_OK);
    }
    std::string query;
    for (int i = 0; i < 20; ++i) query += "t" + std::to_string(1000 + i * 50).substr(0, 3) + "0~2 ";
    int32_t status;
    std::vector<int64_t> ids = h.search(query.c_str(), &status);
    ASSERT_EQ(status, DB_OK);
    EXPECT_EQ(ids.size(), 1024u);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
}

TEST(DbFtsIndex, CreateChecksTheTableDropChangesNothing) {
    SearchHandle h;
    EXPECT_EQ(db_fts_create_index(h.get(), "docs", "body"), DB_OK);
    EXPECT_EQ(db_fts_create_index(h.get(), "none", "body"), DB_ERR_NOT_FOUND);
    EXPECT_EQ(h.get()->last_error, DB_ERR_NOT_FOUND);
    EXPECT_EQ(db_fts_drop_index(h.get(), "none", "body"), DB_OK);
    EXPECT_EQ(h.get()->last_error, DB_OK);
    EXPECT_NE(h.get()->fts, nullptr);
    EXPECT_EQ(db_fts_create_index(h.get(), nullptr, "body"), DB_ERR_INVALID);
    EXPECT_EQ(db_fts_drop_index(h.get(), "docs", nullptr), DB_ERR_INVALID);
}

TEST(DbFtsSearch, SearchesRunBesideAHostFeedingTheIndexUnderTheCatalogLock) {
    SearchHandle h;
    h.add("seed words");
    std::thread writer([&h] {
        for (int i = 0; i < 300; ++i) h.add("word" + std::to_string(i) + " seed");
    });
    int32_t status;
    for (int i = 0; i < 300; ++i) {
        std::vector<int64_t> ids = h.search("seed word~1", &status);
        ASSERT_EQ(status, DB_OK);
        ASSERT_FALSE(ids.empty());
    }
    writer.join();
}

}  // namespace

namespace {

// End to end on a real database: a host tokenizes its rows' text, feeds the
// handle's index, keeps the document id in the row, and finds rows again
// through db_fts_search and a query on the id column.
TEST(DbFtsSearchOnDatabase, HostFedIndexFindsRows) {
    char dir[] = "/tmp/morvadb_fts_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string prefix = std::string(dir) + "/db";
    db_handle *db = nullptr;
    ASSERT_EQ(db_open(prefix.c_str(), nullptr, &db), DB_OK);
    const char *columns[] = {"doc", "body"};
    int32_t types[] = {COL_INT64, COL_STRING};
    ASSERT_EQ(db_create_table(db, "notes", columns, types, 2, nullptr), DB_OK);
    ASSERT_EQ(db_fts_create_index(db, "notes", "body"), DB_OK);

    tokenizer *tok = tokenizer_create();
    const char *texts[] = {"Storage engines flush memtables", "Queries scan sorted tables", "Vectors and storage"};
    for (int i = 0; i < 3; ++i) {
        token tokens[16];
        int32_t n = tokenizer_tokenize(tok, texts[i], std::strlen(texts[i]), tokens, 16);
        std::vector<const char *> terms;
        for (int32_t t = 0; t < n; ++t) terms.push_back(tokens[t].text);
        pthread_rwlock_wrlock(&db->catalog_lock);
        int64_t doc = static_cast<int64_t>(db->fts->next_doc_id);
        ASSERT_EQ(fts_index_add_document(db->fts, terms.data(), texts[i], nullptr, n), DB_OK);
        pthread_rwlock_unlock(&db->catalog_lock);

        std::vector<uint8_t> row(8 + 4 + std::strlen(texts[i]));
        std::memcpy(row.data(), &doc, 8);
        int32_t len = static_cast<int32_t>(std::strlen(texts[i]));
        std::memcpy(row.data() + 8, &len, 4);
        std::memcpy(row.data() + 12, texts[i], static_cast<size_t>(len));
        std::string key = "note" + std::to_string(i);
        ASSERT_EQ(db_put(db, "notes", key.data(), key.size(), row.data(), row.size()), DB_OK);
    }
    tokenizer_destroy(tok);

    result_set *hits = nullptr;
    ASSERT_EQ(db_fts_search(db, "notes", "body", "queries", &hits), DB_OK);
    ASSERT_EQ(rs_next(hits), 1);
    const void *data;
    uint64_t len;
    ASSERT_EQ(rs_get_column(hits, 0, &data, &len), DB_OK);
    int64_t doc;
    std::memcpy(&doc, data, sizeof doc);
    EXPECT_EQ(rs_next(hits), 0);
    rs_close(hits);

    query_builder *qb = db_query(db, "notes");
    ASSERT_EQ(qb_filter(qb, "doc", "=", std::to_string(doc).c_str()), DB_OK);
    result_set *rows = qb_exec(qb);
    ASSERT_EQ(rows->row_count, 1);
    ASSERT_EQ(rs_next(rows), 1);
    ASSERT_EQ(rs_get_column(rows, 1, &data, &len), DB_OK);
    EXPECT_EQ(std::string(static_cast<const char *>(data), len), texts[1]);
    rs_close(rows);
    qb_destroy(qb);

    EXPECT_EQ(db_fts_search(db, "missing", "body", "queries", &hits), DB_ERR_NOT_FOUND);
    EXPECT_EQ(db_last_error(db), DB_ERR_NOT_FOUND);
    ASSERT_EQ(db_close(db), DB_OK);
    std::filesystem::remove_all(dir);
}

}  // namespace

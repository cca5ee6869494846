// Level compaction: limits, pick rule, census, merges and whole steps.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "morvadb.h"
#include "sstable/compaction.h"
#include "sstable/table_fixture.h"

using namespace sstable_test;

namespace {

struct Levels {
    compaction_level records[8];
    Levels() { std::memset(records, 0, sizeof records); for (int i = 0; i < 8; i++) records[i].level = i; }
    ~Levels() { compaction_free_levels(records, 8); }
};

std::vector<std::string> sorted_paths(const compaction_level &level) {
    std::vector<std::string> v(level.paths, level.paths + level.file_count);
    std::sort(v.begin(), v.end());
    return v;
}

TEST(CompactionLimits, MaxBytesPerLevel) {
    EXPECT_EQ(compaction_max_bytes_for_level(-1), 0u);
    EXPECT_EQ(compaction_max_bytes_for_level(0), 0u);
    EXPECT_EQ(compaction_max_bytes_for_level(1), 10485760u);
    EXPECT_EQ(compaction_max_bytes_for_level(2), 104857600u);
    EXPECT_EQ(compaction_max_bytes_for_level(3), 1048576000u);
    EXPECT_EQ(compaction_max_bytes_for_level(40), UINT64_MAX);
}

TEST(CompactionLimits, PickRule) {
    Levels l;
    for (int i = 0; i < 3; i++) compaction_register_file(l.records, 0, "l0", 1);
    compaction_register_file(l.records, 1, "l1", 10485760);
    EXPECT_EQ(compaction_pick_level(l.records, 8), -1);  // three level-0 files, level 1 at its limit
    compaction_register_file(l.records, 1, "l1b", 1);
    EXPECT_EQ(compaction_pick_level(l.records, 8), 1);  // one byte over
    compaction_register_file(l.records, 0, "l0", 1);
    EXPECT_EQ(compaction_pick_level(l.records, 8), 0);  // four level-0 files come first
    EXPECT_EQ(l.records[0].file_count, 4);
    EXPECT_EQ(l.records[0].total_bytes, 4u);

    Levels deep;
    compaction_register_file(deep.records, 2, "l2", 200000000);
    compaction_register_file(deep.records, 3, "l3", 2000000000);
    EXPECT_EQ(compaction_pick_level(deep.records, 8), 2);
    compaction_register_file(deep.records, 1, "l1", 20000000);
    EXPECT_EQ(compaction_pick_level(deep.records, 8), 1);  // shallowest overfull level
    Levels last;
    compaction_register_file(last.records, 7, "l7", UINT64_MAX / 2);
    EXPECT_EQ(compaction_pick_level(last.records, 8), -1);  // the last level is never picked
    last.records[3].total_bytes = UINT64_MAX;  // over the limit but without files
    EXPECT_EQ(compaction_pick_level(last.records, 8), -1);
    EXPECT_EQ(compaction_pick_level(last.records, 1), -1);
    EXPECT_EQ(compaction_pick_level(nullptr, 8), -1);

    compaction_register_file(last.records, 8, "x", 1);  // outside 0..7: ignored
    compaction_register_file(nullptr, 1, "x", 1);
    compaction_free_levels(last.records, 8);
    EXPECT_EQ(last.records[7].file_count, 0);
    EXPECT_EQ(last.records[7].paths, nullptr);
    compaction_free_levels(nullptr, 8);
}

TEST(CompactionLimits, MakePath) {
    char buf[64];
    EXPECT_EQ(compaction_make_path("data/db", 2, 42, buf, sizeof buf), 16);
    EXPECT_STREQ(buf, "data/db.sst.2.42");
    char small[8];
    EXPECT_EQ(compaction_make_path("data/db", 2, 42, small, sizeof small), 16);  // untruncated length
    EXPECT_STREQ(small, "data/db");
    EXPECT_EQ(compaction_make_path("p", 1, UINT64_MAX, buf, sizeof buf), 28);
    EXPECT_STREQ(buf, "p.sst.1.18446744073709551615");
}

TEST(CompactionCensus, CountsFilesPerLevel) {
    TempDir dir;
    std::string p = dir.file("db");
    write_file(p + ".sst.0.1", std::vector<uint8_t>(10));
    write_file(p + ".sst.0.2", std::vector<uint8_t>(20));
    write_file(p + ".sst.0.3.tmp", std::vector<uint8_t>(5));
    write_file(p + ".sst.2.7", std::vector<uint8_t>(100));
    write_file(p + ".sst.9.1", std::vector<uint8_t>(1));   // beyond the levels asked for
    write_file(p + ".sst.x.1", std::vector<uint8_t>(1));
    write_file(p + ".sst.1", std::vector<uint8_t>(1));     // no "." after the level
    write_file(p + "2.sst.0.1", std::vector<uint8_t>(1));
    ASSERT_EQ(::mkdir((p + ".sst.1.5").c_str(), 0755), 0);

    Levels l;
    ASSERT_EQ(compaction_scan_levels(p.c_str(), l.records, 8), DB_OK);
    EXPECT_EQ(sorted_paths(l.records[0]), (std::vector<std::string>{p + ".sst.0.1", p + ".sst.0.2", p + ".sst.0.3.tmp"}));
    EXPECT_EQ(l.records[0].total_bytes, 35u);
    EXPECT_EQ(l.records[1].file_count, 0);
    EXPECT_EQ(l.records[2].file_count, 1);
    EXPECT_EQ(l.records[2].total_bytes, 100u);
    for (int i = 0; i < 8; i++) EXPECT_EQ(l.records[i].level, i);
    compaction_free_levels(l.records, 8);

    // The engine's census leaves unfinished files out.
    ASSERT_EQ(morva::scan_levels(p.c_str(), l.records, 8, morva::CensusOptions{true}), DB_OK);
    EXPECT_EQ(l.records[0].file_count, 2);
    EXPECT_EQ(l.records[0].total_bytes, 30u);
    compaction_free_levels(l.records, 8);

    // Missing directory: empty levels, DB_OK.
    std::string missing = dir.file("none/db");
    ASSERT_EQ(compaction_scan_levels(missing.c_str(), l.records, 8), DB_OK);
    EXPECT_EQ(l.records[0].file_count, 0);
    EXPECT_EQ(compaction_scan_levels(nullptr, l.records, 8), DB_ERR_INVALID);
    EXPECT_EQ(compaction_scan_levels(p.c_str(), nullptr, 8), DB_ERR_INVALID);
    EXPECT_EQ(compaction_scan_levels(p.c_str(), l.records, 0), DB_ERR_INVALID);
}

// Merges tables given as entry lists with the given header sequences and
// returns the output's entries.
std::vector<Entry> merge(TempDir &dir, const std::vector<std::pair<std::vector<Entry>, uint64_t>> &tables,
                         uint64_t out_seq = 100) {
    std::vector<std::string> paths;
    for (size_t i = 0; i < tables.size(); i++) {
        paths.push_back(dir.file("in" + std::to_string(i)));
        EXPECT_EQ(write_table(paths.back(), tables[i].first, tables[i].second), DB_OK);
    }
    std::vector<char *> raw;
    for (std::string &p : paths) raw.push_back(p.data());
    std::string out = dir.file("out");
    EXPECT_EQ(compaction_merge_to_level(raw.data(), static_cast<int>(raw.size()), out.c_str(), out_seq), DB_OK);
    EXPECT_FALSE(file_exists(out + ".tmp"));
    sstable_reader *r = sstable_reader_open(out.c_str());
    EXPECT_NE(r, nullptr);
    EXPECT_EQ(sstable_reader_sequence(r), out_seq);
    EXPECT_EQ(sstable_reader_crc_ok(r), 1);
    sstable_reader_close(r);
    return scan_table(out);
}

TEST(CompactionMerge, NewestTableWinsAndTombstonesDrop) {
    TempDir dir;
    const uint8_t kTomb = SSTABLE_FLAG_TOMBSTONE;
    std::vector<Entry> older = {{"a", "old-a"}, {"b", "old-b"}, {"c", "old-c"}, {"e", "old-e"}};
    std::vector<Entry> newer = {{"b", "", kTomb}, {"c", "new-c"}, {"d", "", kTomb}, {"f", "new-f"}};
    // The newer table is listed first: its sequence, not its position, decides.
    std::vector<Entry> got = merge(dir, {{newer, 9}, {older, 3}});
    std::vector<Entry> want = {{"a", "old-a"}, {"c", "new-c"}, {"e", "old-e"}, {"f", "new-f"}};
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(got[i].key, want[i].key);
        EXPECT_EQ(got[i].value, want[i].value);
        EXPECT_EQ(got[i].flags, SSTABLE_FLAG_VALUE);
    }
    // An older tombstone under a newer value keeps the value.
    got = merge(dir, {{{{"k", "", kTomb}}, 1}, {{{"k", "v"}}, 2}});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].value, "v");
    // Equal sequences: the earlier input wins.
    got = merge(dir, {{{{"k", "first"}}, 5}, {{{"k", "second"}}, 5}});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].value, "first");
}

TEST(CompactionMerge, EmptyAndUnreadableInputs) {
    TempDir dir;
    std::vector<Entry> got = merge(dir, {{{}, 1}, {{}, 2}});
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(read_file(dir.file("out")).size(), 64u);

    // Only tombstones: an empty table.
    got = merge(dir, {{{{"x", "", SSTABLE_FLAG_TOMBSTONE}}, 1}});
    EXPECT_TRUE(got.empty());

    std::string good = dir.file("good"), junk = dir.file("junk"), out = dir.file("out2");
    ASSERT_EQ(write_table(good, {{"a", "1"}}, 1), DB_OK);
    write_file(junk, {1, 2, 3});
    std::string missing = dir.file("missing");
    char *inputs[] = {junk.data(), good.data(), missing.data()};
    ASSERT_EQ(compaction_merge_to_level(inputs, 3, out.c_str(), 4), DB_OK);
    EXPECT_EQ(scan_table(out).size(), 1u);

    EXPECT_EQ(compaction_merge_to_level(inputs, 0, out.c_str(), 4), DB_ERR_INVALID);
    EXPECT_EQ(compaction_merge_to_level(nullptr, 1, out.c_str(), 4), DB_ERR_INVALID);
    EXPECT_EQ(compaction_merge_to_level(inputs, 1, nullptr, 4), DB_ERR_INVALID);
    char *with_null[] = {good.data(), nullptr};
    EXPECT_EQ(compaction_merge_to_level(with_null, 2, out.c_str(), 4), DB_ERR_INVALID);
    // The output's directory is missing: the writer cannot be created.
    std::string bad_out = dir.file("none/out");
    EXPECT_EQ(compaction_merge_to_level(inputs, 3, bad_out.c_str(), 4), DB_ERR_NOMEM);

    compactor *c = compactor_create();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(compactor_merge_sstables(c, inputs, 2, out.c_str(), 8), DB_OK);
    compactor_destroy(c);
    compactor_destroy(nullptr);
}

TEST(CompactionMerge, KeepingTombstonesForOlderTablesOutsideTheMerge) {
    TempDir dir;
    std::string a = dir.file("a"), b = dir.file("b"), out = dir.file("out");
    ASSERT_EQ(write_table(a, {{"k1", "v1"}, {"k2", "v2"}}, 1), DB_OK);
    ASSERT_EQ(write_table(b, {{"k1", "", SSTABLE_FLAG_TOMBSTONE}, {"k3", "", SSTABLE_FLAG_TOMBSTONE}}, 2), DB_OK);
    morva::MergeOptions keep;
    keep.keep_tombstones = true;
    ASSERT_EQ(morva::merge_tables({a, b}, out, 3, keep), DB_OK);
    std::vector<Entry> got = scan_table(out);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].key, "k1");
    EXPECT_EQ(got[0].flags, SSTABLE_FLAG_TOMBSTONE);
    EXPECT_EQ(got[1].value, "v2");
    EXPECT_EQ(got[2].flags, SSTABLE_FLAG_TOMBSTONE);
}

// The streaming merge writes exactly what collecting and sorting writes,
// on overlapping random tables with repeated sequences, also when it may
// open only a few inputs at a time and goes through intermediate tables;
// an input out of key order still yields a sorted table.
TEST(CompactionMerge, StreamingMatchesSorting) {
    TempDir dir;
    srand(12345);
    std::vector<std::string> inputs;
    for (int t = 0; t < 6; t++) {
        std::map<std::string, Entry> table;
        for (int i = 0; i < 300; i++) {
            std::string key = numbered_key(rand() % 800);
            uint8_t flags = rand() % 5 == 0 ? SSTABLE_FLAG_TOMBSTONE : SSTABLE_FLAG_VALUE;
            table[key] = {key, flags == SSTABLE_FLAG_VALUE ? "t" + std::to_string(t) + "-" + std::to_string(i) : "",
                          flags};
        }
        std::vector<Entry> entries;
        for (auto &kv : table) entries.push_back(kv.second);
        inputs.push_back(dir.file("in" + std::to_string(t)));
        ASSERT_EQ(write_table(inputs.back(), entries, static_cast<uint64_t>(rand() % 4)), DB_OK);
    }
    for (size_t per_pass : {0, 2, 3}) {
        for (bool keep : {false, true}) {
            SCOPED_TRACE(testing::Message() << "inputs per pass " << per_pass << ", keep tombstones " << keep);
            morva::MergeOptions options;
            options.keep_tombstones = keep;
            options.max_inputs_per_pass = per_pass;
            std::string streamed = dir.file("streamed"), sorted = dir.file("sorted");
            ASSERT_EQ(morva::merge_tables(inputs, streamed, 7, options), DB_OK);
            ASSERT_EQ(morva::merge_tables_sorted(inputs, sorted, 7, options), DB_OK);
            std::vector<uint8_t> x = read_file(streamed), y = read_file(sorted);
            ASSERT_EQ(x.size(), y.size());
            std::memset(&x[48], 0, 8);  // creation times may differ by a second
            std::memset(&y[48], 0, 8);
            EXPECT_TRUE(x == y);
            EXPECT_FALSE(file_exists(streamed + ".part0.tmp"));
        }
    }

    // Hand-made input with keys out of order.
    std::string unsorted = dir.file("unsorted"), out = dir.file("out");
    ASSERT_EQ(write_table(unsorted, {{"m", "1"}, {"c", "2"}, {"x", "3"}}, 1), DB_OK);
    ASSERT_EQ(morva::merge_tables({unsorted, inputs[0]}, out, 2, morva::MergeOptions{}), DB_OK);
    std::vector<Entry> got = scan_table(out);
    for (size_t i = 1; i < got.size(); i++) EXPECT_LT(got[i - 1].key, got[i].key);
    EXPECT_FALSE(file_exists(out + ".tmp"));
}

TEST(CompactionRun, MergesThePickedLevelAndDeletesItsFiles) {
    TempDir dir;
    std::string p = dir.file("db");
    EXPECT_EQ(compaction_run_level(p.c_str(), 7, 1), DB_ERR_INVALID);
    EXPECT_EQ(compaction_run_level(p.c_str(), -1, 1), DB_ERR_INVALID);
    EXPECT_EQ(compaction_run_level(nullptr, 0, 1), DB_ERR_INVALID);

    for (int n = 1; n <= 3; n++)
        ASSERT_EQ(write_table(p + ".sst.0." + std::to_string(n), {{"k", "v" + std::to_string(n)}}, n), DB_OK);
    EXPECT_EQ(compaction_run_level(p.c_str(), 0, 1), DB_OK);  // nothing to do
    EXPECT_TRUE(file_exists(p + ".sst.0.1"));
    EXPECT_FALSE(file_exists(p + ".sst.1.1"));

    ASSERT_EQ(write_table(p + ".sst.0.4", {{"k", "v4"}, {"z", "", SSTABLE_FLAG_TOMBSTONE}}, 4), DB_OK);
    write_file(p + ".sst.0.0", {'j', 'u', 'n', 'k'});  // not a table: merged past, then deleted
    // A table already under the output name joins the merge instead of being replaced.
    ASSERT_EQ(write_table(p + ".sst.1.20", {{"old", "kept"}}, 0), DB_OK);
    EXPECT_EQ(compaction_run_level(p.c_str(), 3, 20), DB_OK);  // the level argument is only validated
    for (int n = 0; n <= 4; n++) EXPECT_FALSE(file_exists(p + ".sst.0." + std::to_string(n)));
    std::vector<Entry> got = scan_table(p + ".sst.1.20");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].key, "k");
    EXPECT_EQ(got[0].value, "v4");
    EXPECT_EQ(got[1].key, "old");
}

TEST(CompactionRun, EngineStepNumbersOutputByNewestInputAndKeepsTombstones) {
    TempDir dir;
    std::string p = dir.file("db");
    for (int n = 5; n <= 8; n++)
        ASSERT_EQ(write_table(p + ".sst.0." + std::to_string(n),
                              {{"k", n == 8 ? "" : "v" + std::to_string(n), static_cast<uint8_t>(n == 8 ? 2 : 1)}}, n),
                  DB_OK);
    write_file(p + ".sst.0.9.tmp", {1, 2, 3});  // an interrupted flush: not an input
    ASSERT_EQ(write_table(p + ".sst.3.1", {{"k", "ancient"}}, 1), DB_OK);

    morva::CompactionStep step;
    ASSERT_EQ(morva::run_compaction_step(p.c_str(), &step), DB_OK);
    EXPECT_EQ(step.level, 0);
    EXPECT_EQ(step.inputs.size(), 4u);
    EXPECT_EQ(step.output_sequence, 8u);
    EXPECT_EQ(step.output_path, p + ".sst.1.8");
    EXPECT_TRUE(step.kept_tombstones);  // level 3 may still hold "k"
    std::vector<Entry> got = scan_table(p + ".sst.1.8");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].flags, SSTABLE_FLAG_TOMBSTONE);
    EXPECT_TRUE(file_exists(p + ".sst.0.9.tmp"));
    EXPECT_FALSE(file_exists(p + ".sst.0.5"));

    ASSERT_EQ(morva::run_compaction_step(p.c_str(), &step), DB_OK);
    EXPECT_EQ(step.level, -1);  // nothing else needs compacting

    // Loading order: the level-3 table (sequence 1), then the output (8),
    // then a newer flush; the unfinished file is not listed.
    ASSERT_EQ(write_table(p + ".sst.0.9", {{"k", "newest"}}, 9), DB_OK);
    std::vector<morva::TableFile> order;
    ASSERT_EQ(morva::tables_oldest_first(p.c_str(), &order), DB_OK);
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0].path, p + ".sst.3.1");
    EXPECT_EQ(order[1].path, p + ".sst.1.8");
    EXPECT_EQ(order[2].path, p + ".sst.0.9");
}

}  // namespace

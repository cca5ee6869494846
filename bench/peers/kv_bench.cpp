// Key/value benchmark of one engine per process, so that each engine's peak
// memory is its own: fillseq and fillrandom into fresh directories, then
// overwrite, readrandom (hits), readmissing, one writer beside one reader
// (readwhilewriting), get latency while writes drive flushes and compactions,
// and deleterandom. Keys are 16 bytes, values 100.
// Every read is checked against the value last written; a wrong or missing
// value is counted as an error and makes the program exit non-zero.
//
//   bench_kv --engine NAME [--num N] [--dir DIR] [--out FILE.jsonl]
//            [--latency-seconds S] [--max-phase-seconds S] [--phases LIST]
//
// --phases picks a subset (for profiling one phase); fillrandom always runs
// when a later phase needs data.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "common.h"
#include "kv_engine.h"

namespace bench {
namespace {

constexpr size_t kKeySize = 16;
constexpr size_t kValueSize = 100;
constexpr size_t kValuePool = 1u << 20;

// Present keys are even numbers and missing keys odd ones, so a missing key
// falls between present ones and a lookup cannot stop at the key range.
std::string_view key_of(uint64_t n, char (&buf)[kKeySize + 1]) {
    std::snprintf(buf, sizeof buf, "%016llu", static_cast<unsigned long long>(n));
    return {buf, kKeySize};
}

// Values are slices of a random pool at an offset chosen by the key index
// and its version, so reads can be checked without storing the values.
class ValueSource {
public:
    ValueSource() : pool_(kValuePool + kValueSize) {
        Rng rng(42);
        for (char &c : pool_) c = static_cast<char>('a' + rng.below(26));
    }
    std::string_view value(uint64_t index, uint8_t version) const {
        uint64_t mix = (index * 0x9E3779B97F4A7C15ull) ^ (uint64_t{version} * 0xC2B2AE3D27D4EB4Full);
        return {pool_.data() + (mix >> 7) % kValuePool, kValueSize};
    }

private:
    std::vector<char> pool_;
};

struct Config {
    std::string engine;
    std::string dir;
    uint64_t num;
    double latency_seconds;
    double max_phase_seconds;
    std::string phases;  // comma-separated; empty runs every phase
    bool wants(const std::string &phase) const {
        return phases.empty() || ("," + phases + ",").find("," + phase + ",") != std::string::npos;
    }
};

class KvRun {
public:
    KvRun(const Config &config, ResultLog &log) : config_(config), log_(log) {}

    int run();

private:
    JsonRecord base(const std::string &workload) const {
        JsonRecord r;
        r.str("suite", "kv").str("engine", config_.engine).str("workload", workload);
        return r;
    }
    bool out_of_time(Clock::time_point start) const { return seconds_since(start) > config_.max_phase_seconds; }
    void report(const std::string &workload, uint64_t ops, double seconds, uint64_t errors, bool capped,
                JsonRecord extra = {});
    // Marks the start of a phase for the CPU time that report() adds.
    void phase_start() { phase_cpu_ = process_cpu_seconds(); }
    bool open_fresh(const std::string &name);
    void fill(const std::string &workload, const std::vector<uint64_t> &order);
    void overwrite();
    void read_hits();
    void read_missing();
    void read_while_writing();
    void latency_during_writes();
    void delete_random();

    Config config_;
    ResultLog &log_;
    ValueSource values_;
    std::unique_ptr<KvEngine> engine_;
    std::string engine_dir_;
    std::vector<uint64_t> filled_;    // indexes of the present keys, in fill order
    std::vector<uint8_t> versions_;   // current version of each key index
    uint64_t total_errors_ = 0;
    double phase_cpu_ = 0;
};

void KvRun::report(const std::string &workload, uint64_t ops, double seconds, uint64_t errors, bool capped,
                   JsonRecord extra) {
    JsonRecord r = base(workload);
    double cpu = process_cpu_seconds() - phase_cpu_;
    r.integer("ops", ops).num("seconds", seconds).num("ops_per_sec", seconds > 0 ? ops / seconds : 0);
    r.num("cpu_seconds", cpu).num("ops_per_cpu_sec", cpu > 0 ? ops / cpu : 0);
    r.integer("errors", errors).integer("capped", capped ? 1 : 0);
    // Resident memory after every phase (and the peak so far), to see which
    // phase grows it.
    r.integer("rss_after_bytes", current_rss_bytes()).integer("peak_rss_so_far_bytes", peak_rss_bytes());
    r.append(extra);
    total_errors_ += errors;
    log_.write(r);
}

bool KvRun::open_fresh(const std::string &name) {
    if (engine_) engine_->close();
    engine_ = make_kv_engine(config_.engine);
    if (!engine_) return false;
    if (!engine_dir_.empty()) remove_tree(engine_dir_);
    engine_dir_ = config_.dir + "/" + config_.engine + "-" + name;
    if (!fresh_directory(engine_dir_)) {
        std::fprintf(stderr, "cannot create %s\n", engine_dir_.c_str());
        return false;
    }
    std::string error;
    if (!engine_->open(engine_dir_, error)) {
        std::fprintf(stderr, "%s: open failed: %s\n", config_.engine.c_str(), error.c_str());
        return false;
    }
    return true;
}

void KvRun::fill(const std::string &workload, const std::vector<uint64_t> &order) {
    char buf[kKeySize + 1];
    filled_.clear();
    filled_.reserve(order.size());
    std::fill(versions_.begin(), versions_.end(), 0);
    uint64_t errors = 0;
    bool capped = false;
    phase_start();
    auto start = Clock::now();
    for (uint64_t i = 0; i < order.size(); i++) {
        uint64_t k = order[i];
        if (engine_->put(key_of(2 * k, buf), values_.value(k, 0))) {
            filled_.push_back(k);
        } else {
            errors++;
        }
        if ((i & 1023) == 1023 && out_of_time(start)) {
            capped = true;
            break;
        }
    }
    engine_->sync_batch();
    double seconds = seconds_since(start);
    JsonRecord extra;
    extra.integer("bytes_on_disk", bytes_under(engine_dir_)).integer("rss_bytes", current_rss_bytes());
    extra.integer("keys", filled_.size());
    report(workload, filled_.size() + errors, seconds, errors, capped, extra);
}

void KvRun::overwrite() {
    if (filled_.empty()) return;
    char buf[kKeySize + 1];
    Rng rng(11);
    uint64_t errors = 0, ops = 0;
    bool capped = false;
    phase_start();
    auto start = Clock::now();
    for (; ops < config_.num; ops++) {
        uint64_t k = filled_[rng.below(filled_.size())];
        uint8_t version = static_cast<uint8_t>(versions_[k] + 1);
        if (engine_->put(key_of(2 * k, buf), values_.value(k, version))) {
            versions_[k] = version;
        } else {
            errors++;
        }
        if ((ops & 1023) == 1023 && out_of_time(start)) {
            capped = true;
            ops++;
            break;
        }
    }
    engine_->sync_batch();
    report("overwrite", ops, seconds_since(start), errors, capped);
}

void KvRun::read_hits() {
    if (filled_.empty()) return;
    char buf[kKeySize + 1];
    std::string value;
    Rng rng(12);
    uint64_t errors = 0, ops = 0;
    bool capped = false;
    phase_start();
    auto start = Clock::now();
    for (; ops < config_.num; ops++) {
        uint64_t k = filled_[rng.below(filled_.size())];
        if (!engine_->get(key_of(2 * k, buf), value) || value != values_.value(k, versions_[k])) errors++;
        if ((ops & 1023) == 1023 && out_of_time(start)) {
            capped = true;
            ops++;
            break;
        }
    }
    engine_->sync_batch();
    report("readrandom", ops, seconds_since(start), errors, capped);
}

void KvRun::read_missing() {
    char buf[kKeySize + 1];
    std::string value;
    Rng rng(13);
    uint64_t errors = 0, ops = 0;
    bool capped = false;
    phase_start();
    auto start = Clock::now();
    for (; ops < config_.num; ops++) {
        if (engine_->get(key_of(2 * rng.below(config_.num) + 1, buf), value)) errors++;
        if ((ops & 1023) == 1023 && out_of_time(start)) {
            capped = true;
            ops++;
            break;
        }
    }
    engine_->sync_batch();
    report("readmissing", ops, seconds_since(start), errors, capped);
}

// One writer thread overwriting random keys as fast as it can beside one
// reader thread doing timed gets, both for the latency window: the rates of
// both sides in the same run, and the reader's latency percentiles. No
// manual compaction runs here. Every value read is checked: it is either the
// key's value before the phase or the one the writer stores.
void KvRun::read_while_writing() {
    if (filled_.empty()) return;
    constexpr uint8_t kWriterVersion = 150;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> puts{0};
    // Which keys the writer stored, one flag per key index: a list of every
    // put would grow with the writer's speed and weigh on the peak memory.
    std::vector<bool> written(config_.num, false);
    phase_start();
    std::thread writer([&] {
        char buf[kKeySize + 1];
        Rng rng(17);
        uint64_t n = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            uint64_t k = filled_[rng.below(filled_.size())];
            if (engine_->put(key_of(2 * k, buf), values_.value(k, kWriterVersion))) written[k] = true;
            n++;
        }
        puts.store(n);
    });
    LatencyRecorder samples;
    char buf[kKeySize + 1];
    std::string value;
    Rng rng(18);
    uint64_t errors = 0;
    auto start = Clock::now();
    while (seconds_since(start) < config_.latency_seconds) {
        uint64_t k = filled_[rng.below(filled_.size())];
        uint64_t t0 = now_ns();
        bool found = engine_->get(key_of(2 * k, buf), value);
        samples.add(now_ns() - t0);
        if (!found || (value != values_.value(k, versions_[k]) && value != values_.value(k, kWriterVersion))) errors++;
    }
    stop.store(true);
    writer.join();
    double seconds = seconds_since(start);
    engine_->sync_batch();
    for (uint64_t k = 0; k < written.size(); k++)
        if (written[k]) versions_[k] = kWriterVersion;
    Percentiles p = samples.percentiles();
    JsonRecord extra;
    extra.num("p50_us", p.p50_us).num("p99_us", p.p99_us).num("p999_us", p.p999_us).num("max_us", p.max_us);
    extra.integer("writer_puts", puts.load()).num("writer_puts_per_sec", seconds > 0 ? puts.load() / seconds : 0);
    extra.num("reader_gets_per_sec", seconds > 0 ? samples.count() / seconds : 0);
    report("readwhilewriting", samples.count(), seconds, errors, false, extra);
}

// Gets on this thread, timed one by one, while a second thread overwrites
// random keys as fast as it can so that memtables fill, flush and the engine
// compacts; engines with a manual full compaction also run one on a third
// thread. Values are not checked here: a key may be rewritten mid-read.
void KvRun::latency_during_writes() {
    if (filled_.empty()) return;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> writes{0};
    std::atomic<int> compaction_state{0};  // 0 none, 1 running, 2 finished
    double compaction_seconds = 0;
    std::thread writer([&] {
        char buf[kKeySize + 1];
        Rng rng(14);
        uint64_t n = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            uint64_t k = filled_[rng.below(filled_.size())];
            engine_->put(key_of(2 * k, buf), values_.value(k, 200));
            n++;
        }
        writes.store(n);
    });
    std::thread compactor([&] {
        auto start = Clock::now();
        compaction_state.store(1);
        if (engine_->compact_all()) {
            compaction_seconds = seconds_since(start);
            compaction_state.store(2);
        } else {
            compaction_state.store(0);
        }
    });
    LatencyRecorder samples;
    char buf[kKeySize + 1];
    std::string value;
    Rng rng(15);
    uint64_t missing = 0;
    phase_start();
    auto start = Clock::now();
    while (seconds_since(start) < config_.latency_seconds) {
        uint64_t k = filled_[rng.below(filled_.size())];
        uint64_t t0 = now_ns();
        bool found = engine_->get(key_of(2 * k, buf), value);
        samples.add(now_ns() - t0);
        if (!found) missing++;
    }
    double seconds = seconds_since(start);
    stop.store(true);
    writer.join();
    compactor.join();
    engine_->sync_batch();
    // Every key read here was present and is only ever overwritten, so a
    // miss is a lost key.
    Percentiles p = samples.percentiles();
    JsonRecord extra;
    extra.num("p50_us", p.p50_us).num("p99_us", p.p99_us).num("p999_us", p.p999_us).num("max_us", p.max_us);
    extra.integer("concurrent_writes", writes.load());
    extra.num("manual_compaction_seconds", compaction_state.load() == 2 ? compaction_seconds : 0);
    report("get_latency_during_compaction", samples.count(), seconds, missing, false, extra);
    for (uint64_t k : filled_) versions_[k] = 200;
}

void KvRun::delete_random() {
    if (filled_.empty()) return;
    char buf[kKeySize + 1];
    std::vector<uint64_t> order = shuffled_range(filled_.size(), 16);
    uint64_t errors = 0, ops = 0;
    bool capped = false;
    phase_start();
    auto start = Clock::now();
    for (; ops < order.size(); ops++) {
        if (!engine_->del(key_of(2 * filled_[order[ops]], buf))) errors++;
        if ((ops & 1023) == 1023 && out_of_time(start)) {
            capped = true;
            ops++;
            break;
        }
    }
    engine_->sync_batch();
    double seconds = seconds_since(start);
    // A deleted key must stay gone: sample the first deletions.
    std::string value;
    for (uint64_t i = 0; i < std::min<uint64_t>(ops, 1000); i++) {
        if (engine_->get(key_of(2 * filled_[order[i]], buf), value)) errors++;
    }
    engine_->sync_batch();
    report("deleterandom", ops, seconds, errors, capped);
}

int KvRun::run() {
    versions_.assign(config_.num, 0);
    std::vector<uint64_t> sequential(config_.num);
    for (uint64_t i = 0; i < config_.num; i++) sequential[i] = i;
    std::vector<uint64_t> random_order = shuffled_range(config_.num, 10);
    uint64_t harness_rss = current_rss_bytes();

    std::string settings = make_kv_engine(config_.engine)->settings();
    if (config_.wants("fillseq")) {
        if (!open_fresh("seq")) return 2;
        fill("fillseq", sequential);
    }
    sequential.clear();
    sequential.shrink_to_fit();

    if (!open_fresh("random")) return 2;
    fill("fillrandom", random_order);
    random_order.clear();
    random_order.shrink_to_fit();
    if (config_.wants("overwrite")) overwrite();
    if (config_.wants("readrandom")) read_hits();
    if (config_.wants("readmissing")) read_missing();
    if (config_.wants("readwhilewriting")) read_while_writing();
    if (config_.wants("latency")) latency_during_writes();
    if (config_.wants("deleterandom")) delete_random();
    engine_->close();
    engine_.reset();
    remove_tree(engine_dir_);

    JsonRecord summary = base("summary");
    summary.str("settings", settings).integer("num", config_.num);
    summary.integer("peak_rss_bytes", peak_rss_bytes()).integer("harness_rss_bytes", harness_rss);
    summary.integer("errors", total_errors_).str("machine", machine_description());
    log_.write(summary);
    return total_errors_ == 0 ? 0 : 1;
}

}  // namespace
}  // namespace bench

int main(int argc, char **argv) {
    using namespace bench;
    Flags flags(argc, argv);
    Config config;
    config.engine = flags.get("engine", "");
    config.num = flags.get_u64("num", 1000000);
    config.dir = flags.get("dir", "/tmp/morvadb_bench_kv");
    config.latency_seconds = flags.get_double("latency-seconds", 8.0);
    config.max_phase_seconds = flags.get_double("max-phase-seconds", 120.0);
    config.phases = flags.get("phases", "");
    std::string out = flags.get("out", "kv_results.jsonl");
    if (flags.has("list")) {
        for (const std::string &name : kv_engine_names()) std::printf("%s\n", name.c_str());
        return 0;
    }
    if (config.engine.empty() || !make_kv_engine(config.engine) || config.num == 0) {
        std::fprintf(stderr, "usage: bench_kv --engine NAME [--num N] [--dir DIR] [--out FILE]\n");
        std::fprintf(stderr, "engines in this build:");
        for (const std::string &name : kv_engine_names()) std::fprintf(stderr, " %s", name.c_str());
        std::fprintf(stderr, "\n");
        return 2;
    }
    // Only the per-engine subdirectories are ever removed, never `dir` itself.
    if (!make_directories(config.dir)) {
        std::fprintf(stderr, "cannot create directory %s\n", config.dir.c_str());
        return 2;
    }
    ResultLog log(out);
    if (!log.ok()) return 2;
    KvRun run(config, log);
    return run.run();
}

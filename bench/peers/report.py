#!/usr/bin/env python3
"""Merges the JSON Lines written by the peer benchmarks into results.json and
results.csv, writes a Markdown summary (table.md) with the goal ratios, and
draws PNG plots when matplotlib is available.

    report.py RESULTS_DIR [--plots DIR]
"""
import csv
import json
import os
import sys

KV_WORKLOADS = ["fillseq", "fillrandom", "overwrite", "readrandom", "readmissing", "deleterandom"]
KV_ORDER = ["morvadb", "morvadb-default", "leveldb", "rocksdb", "lmdb", "sqlite"]
HNSW_ORDER = ["morvadb", "hnswlib"]
# Recall levels at which HNSW speed is compared, read off each recall/QPS curve.
EQUAL_RECALL = [0.9, 0.95]


def load(directory):
    records = []
    for name in sorted(os.listdir(directory)):
        if not name.endswith(".jsonl"):
            continue
        with open(os.path.join(directory, name)) as f:
            for line in f:
                line = line.strip()
                if line:
                    records.append(json.loads(line))
    return records


def write_csv(records, path):
    keys = []
    for r in records:
        for k in r:
            if k not in keys:
                keys.append(k)
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=keys)
        writer.writeheader()
        for r in records:
            writer.writerow(r)


def fmt_rate(x):
    if x is None:
        return "–"
    if x >= 1e6:
        return "%.2f M" % (x / 1e6)
    if x >= 1e3:
        return "%.0f k" % (x / 1e3)
    return "%.0f" % x


def fmt_mib(x):
    return "–" if x is None else "%.0f" % (x / 2**20)


def fmt(x, digits=1):
    return "–" if x is None else ("%." + str(digits) + "f") % x


def ordered(names, preferred):
    return [n for n in preferred if n in names] + sorted(n for n in names if n not in preferred)


class Results:
    def __init__(self, records):
        self.records = records
        self.kv = {}      # engine -> workload -> record
        self.flat = {}    # n -> impl -> record
        self.hnsw = {}    # impl -> {"build": record, "search": {ef: record}, "summary": record}
        self.run = {}
        self.runs = []    # one line per suite group: start and end records merged
        for r in records:
            suite = r.get("suite")
            if suite == "kv":
                self.kv.setdefault(r["engine"], {})[r["workload"]] = r
            elif suite == "vec_flat":
                self.flat.setdefault(r["n"], {})[r["impl"]] = r
            elif suite == "vec_hnsw":
                entry = self.hnsw.setdefault(r["impl"], {"search": {}})
                if r["phase"] == "search":
                    entry["search"][r["ef_search"]] = r
                else:
                    entry[r["phase"]] = r
            elif suite == "run":
                self.run.update(r)
                if "date" in r:
                    self.runs.append(dict(r))
                elif self.runs:
                    self.runs[-1].update(r)

    def kv_value(self, engine, workload, field):
        return self.kv.get(engine, {}).get(workload, {}).get(field)


def kv_section(res):
    lines = []
    engines = ordered(res.kv.keys(), KV_ORDER)
    if not engines:
        return lines
    lines.append("### Key/value: operations per second\n")
    header = ["engine"] + KV_WORKLOADS + ["disk after fillrandom (MiB)", "peak RSS (MiB)"]
    lines.append("| " + " | ".join(header) + " |")
    lines.append("|" + "---|" * len(header))
    for e in engines:
        row = [e]
        for w in KV_WORKLOADS:
            rate = res.kv_value(e, w, "ops_per_sec")
            capped = res.kv_value(e, w, "capped")
            row.append(fmt_rate(rate) + (" (capped)" if capped else ""))
        row.append(fmt_mib(res.kv_value(e, "fillrandom", "bytes_on_disk")))
        row.append(fmt_mib(res.kv_value(e, "summary", "peak_rss_bytes")))
        lines.append("| " + " | ".join(row) + " |")
    lines.append("")
    lines.append("### Key/value: one writer beside one reader (readwhilewriting)\n")
    lines.append("| engine | writer puts/s | reader gets/s | p50 (µs) | p99 (µs) | p99.9 (µs) | max (µs) | CPU s |")
    lines.append("|---|---|---|---|---|---|---|---|")
    for e in engines:
        r = res.kv.get(e, {}).get("readwhilewriting")
        if not r:
            continue
        lines.append("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            e, fmt_rate(r["writer_puts_per_sec"]), fmt_rate(r["reader_gets_per_sec"]), fmt(r["p50_us"]),
            fmt(r["p99_us"]), fmt(r["p999_us"]), fmt(r["max_us"], 0), fmt(r["cpu_seconds"], 2)))
    lines.append("")
    lines.append("### Key/value: get latency while writes drive flushes and compactions\n")
    lines.append("| engine | gets | p50 (µs) | p99 (µs) | p99.9 (µs) | max (µs) | concurrent writes | manual compaction (s) |")
    lines.append("|---|---|---|---|---|---|---|---|")
    for e in engines:
        r = res.kv.get(e, {}).get("get_latency_during_compaction")
        if not r:
            continue
        lines.append("| %s | %d | %s | %s | %s | %s | %d | %s |" % (
            e, r["ops"], fmt(r["p50_us"]), fmt(r["p99_us"]), fmt(r["p999_us"]), fmt(r["max_us"], 0),
            r["concurrent_writes"], fmt(r["manual_compaction_seconds"]) if r["manual_compaction_seconds"] else "–"))
    lines.append("")
    lines.append("Settings: " + "; ".join(
        "%s: %s" % (e, res.kv_value(e, "summary", "settings")) for e in engines) + ".\n")
    return lines


def flat_section(res):
    lines = []
    if not res.flat:
        return lines
    lines.append("### Exact flat search (dimension 128, k = 10, one thread)\n")
    lines.append("| vectors | implementation | queries/s | µs/query | CPU µs/query | GB/s read | share of stream bandwidth | bit-identical to the sequential loop |")
    lines.append("|---|---|---|---|---|---|---|---|")
    for n in sorted(res.flat):
        for impl, r in res.flat[n].items():
            if impl == "stream-read":
                continue
            lines.append("| %d | %s | %s | %s | %s | %s | %s | %s |" % (
                n, impl, fmt_rate(r["qps"]), fmt(r["us_per_query"]), fmt(r.get("cpu_us_per_query")), fmt(r["gbps"], 2),
                "%.0f %%" % (100 * r["fraction_of_stream"]), "%.0f %%" % (100 * r["bit_identical"])))
        stream = res.flat[n].get("stream-read")
        if stream:
            lines.append("| %d | streaming read (measured) | | | | %s | 100 %% | |" % (n, fmt(stream["gbps"], 2)))
    lines.append("")
    return lines


def qps_at_recall(search, target, field="qps"):
    """Queries per second at `target` recall@10, read off the curve through the
    measured points (in ef_search order) by interpolating log(QPS) linearly in
    recall between the two points around the first crossing. None when the
    curve never reaches the target or starts above it."""
    import math
    points = [search[ef] for ef in sorted(search)]
    for a, b in zip(points, points[1:]):
        ra, rb = a["recall_at_10"], b["recall_at_10"]
        if ra <= target <= rb and a.get(field) and b.get(field):
            if rb == ra:
                return a[field]
            t = (target - ra) / (rb - ra)
            return math.exp(math.log(a[field]) + t * (math.log(b[field]) - math.log(a[field])))
    return None


def hnsw_section(res):
    lines = []
    impls = ordered(res.hnsw.keys(), HNSW_ORDER)
    if not impls:
        return lines
    lines.append("### HNSW (M 16, ef_construction 200): build\n")
    lines.append("| implementation | vectors | build (s) | build CPU (s) | memory added (MiB) | peak RSS (MiB) |")
    lines.append("|---|---|---|---|---|---|")
    for i in impls:
        b = res.hnsw[i].get("build", {})
        s = res.hnsw[i].get("summary", {})
        lines.append("| %s | %s | %s | %s | %s | %s |" % (i, b.get("n", "–"), fmt(b.get("seconds"), 2),
                                                  fmt(b.get("cpu_seconds"), 2),
                                                  fmt_mib(b.get("memory_bytes")), fmt_mib(s.get("peak_rss_bytes"))))
    lines.append("")
    lines.append("### HNSW: queries per second and recall@10 (one query at a time)\n")
    header = ["ef_search"] + ["%s QPS | %s recall" % (i, i) for i in impls]
    lines.append("| " + " | ".join(header) + " |")
    lines.append("|---|" + "---|---|" * len(impls))
    efs = sorted({ef for i in impls for ef in res.hnsw[i]["search"]})
    for ef in efs:
        row = [str(ef)]
        for i in impls:
            r = res.hnsw[i]["search"].get(ef)
            row.append(fmt_rate(r["qps"]) if r else "–")
            row.append(fmt(r["recall_at_10"], 3) if r else "–")
        lines.append("| " + " | ".join(row) + " |")
    lines.append("")
    lines.append("### HNSW: queries per second at equal recall@10 (read off the curves)\n")
    lines.append("| recall@10 | " + " | ".join("%s QPS | %s CPU QPS" % (i, i) for i in impls) + " |")
    lines.append("|---|" + "---|---|" * len(impls))
    for target in EQUAL_RECALL:
        row = ["%.2f" % target]
        for i in impls:
            for field in ("qps", "cpu_qps"):
                value = qps_at_recall(res.hnsw[i]["search"], target, field)
                row.append(fmt_rate(value) if value else "not reached")
        lines.append("| " + " | ".join(row) + " |")
    lines.append("")
    return lines


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def goals_section(res):
    rows = []

    def add(goal, value, target, higher_is_better=True, cpu_value=None):
        cpu = "–" if cpu_value is None else "%.2f" % cpu_value
        if value is None:
            rows.append((goal, "not measured", cpu, target, "–"))
            return
        met = value >= target if higher_is_better else value <= target
        rows.append((goal, "%.2f" % value, cpu, ("≥ " if higher_is_better else "≤ ") + "%g" % target,
                     "met" if met else "missed"))

    def kv_ratio(workload, field):
        return ratio(res.kv_value("morvadb", workload, field), res.kv_value("leveldb", workload, field))

    add("writer puts/s beside a reader / LevelDB", kv_ratio("readwhilewriting", "writer_puts_per_sec"), 1.0)
    add("reader gets/s beside a writer / LevelDB", kv_ratio("readwhilewriting", "reader_gets_per_sec"), 1.0)
    add("get p99.9 beside a writer / LevelDB", kv_ratio("readwhilewriting", "p999_us"), 1.0, False)
    worst = res.kv_value("morvadb", "get_latency_during_compaction", "max_us")
    add("worst get during compaction (ms)", None if worst is None else worst / 1000.0, 20.0, False)
    add("readrandom / LevelDB", kv_ratio("readrandom", "ops_per_sec"), 2.5,
        cpu_value=kv_ratio("readrandom", "ops_per_cpu_sec"))
    add("fillrandom / LevelDB", kv_ratio("fillrandom", "ops_per_sec"), 1.5,
        cpu_value=kv_ratio("fillrandom", "ops_per_cpu_sec"))
    add("peak RSS of the key/value run / LevelDB", kv_ratio("summary", "peak_rss_bytes"), 1.25, False)
    small = min(res.flat) if res.flat else None
    large = max(res.flat) if res.flat else None
    if small is not None:
        f = res.flat[small]
        ours_f, scalar_f = f.get("morvadb-flat", {}), f.get("scalar-loop", {})
        add("flat search / scalar loop, %d vectors" % small, ratio(ours_f.get("qps"), scalar_f.get("qps")), 5.0,
            cpu_value=ratio(scalar_f.get("cpu_us_per_query"), ours_f.get("cpu_us_per_query")))
    if large is not None:
        add("flat search share of stream bandwidth, %d vectors" % large,
            res.flat[large].get("morvadb-flat", {}).get("fraction_of_stream"), 0.8)
    ours, peer = res.hnsw.get("morvadb"), res.hnsw.get("hnswlib")
    if ours and 100 in ours["search"]:
        add("HNSW recall@10 at ef_search 100", ours["search"][100]["recall_at_10"], 0.95)
    if ours and peer:
        for ef in sorted(set(ours["search"]) & set(peer["search"])):
            add("HNSW QPS / hnswlib, ef_search %d" % ef,
                ratio(ours["search"][ef]["qps"], peer["search"][ef]["qps"]), 0.8,
                cpu_value=ratio(ours["search"][ef].get("cpu_qps"), peer["search"][ef].get("cpu_qps")))
        for target in EQUAL_RECALL:
            add("HNSW QPS / hnswlib at recall@10 %.2f" % target,
                ratio(qps_at_recall(ours["search"], target), qps_at_recall(peer["search"], target)), 0.8,
                cpu_value=ratio(qps_at_recall(ours["search"], target, "cpu_qps"),
                                qps_at_recall(peer["search"], target, "cpu_qps")))
        add("HNSW build time / hnswlib", ratio(ours.get("build", {}).get("seconds"),
                                              peer.get("build", {}).get("seconds")), 1.5, False,
            cpu_value=ratio(ours.get("build", {}).get("cpu_seconds"), peer.get("build", {}).get("cpu_seconds")))
    lines = ["### Goals\n", "Ratios of wall-clock throughput (and, beside them, of CPU time, which a busy machine "
             "disturbs less).\n", "| goal | measured (wall) | measured (CPU) | target | |", "|---|---|---|---|---|"]
    lines += ["| %s | %s | %s | %s | %s |" % r for r in rows]
    lines.append("")
    return lines


def write_markdown(res, path):
    lines = []
    for run in res.runs:
        lines.append("- Suites %s: started %s, ended %s, commit %s; load average (1, 5, 15 min) before %s, after %s." % (
            run.get("suites", "?"), run.get("date", "?"), run.get("date_end", "?"), run.get("commit", "?"),
            run.get("load_before", "?"), run.get("load_after", "?")))
    if res.runs:
        lines.append("")
    for section in (goals_section, kv_section, flat_section, hnsw_section):
        lines += section(res)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def plot(res, directory):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("report.py: matplotlib not available, no plots")
        return
    os.makedirs(directory, exist_ok=True)
    impls = ordered(res.hnsw.keys(), HNSW_ORDER)
    if impls:
        fig, ax = plt.subplots(figsize=(8, 5))
        for i in impls:
            points = sorted(res.hnsw[i]["search"].items())
            current = i in HNSW_ORDER
            ax.plot([p[1]["recall_at_10"] for p in points], [p[1]["qps"] for p in points], marker="o",
                    markersize=4 if current else 3, linestyle="-" if current else "--", label=i)
            for ef, r in points:
                if ef in (10, 50, 100, 200):
                    ax.annotate("ef %d" % ef, (r["recall_at_10"], r["qps"]), fontsize=7, xytext=(3, 3),
                                textcoords="offset points")
        for target in EQUAL_RECALL:
            ax.axvline(target, color="grey", linewidth=0.8, linestyle=":")
        ax.set_yscale("log")
        ax.set_xlabel("recall@10")
        ax.set_ylabel("queries per second (one thread)")
        ax.set_title("HNSW, M 16, ef_construction 200")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
        fig.tight_layout()
        fig.savefig(os.path.join(directory, "vec_recall_qps.png"), dpi=110)
        plt.close(fig)
    if res.flat:
        labels, values = [], []
        for n in sorted(res.flat):
            for impl, r in res.flat[n].items():
                if impl != "stream-read":
                    labels.append("%s\n%dk" % (impl, n // 1000))
                    values.append(r["qps"])
        fig, ax = plt.subplots(figsize=(9, 4.5))
        ax.bar(range(len(values)), values, color="tab:blue")
        ax.set_xticks(range(len(values)))
        ax.set_xticklabels(labels, fontsize=7)
        ax.set_yscale("log")
        ax.set_ylabel("queries per second (one thread)")
        ax.set_title("Exact flat search, dimension 128, k 10")
        ax.grid(True, axis="y", which="both", alpha=0.3)
        fig.tight_layout()
        fig.savefig(os.path.join(directory, "vec_flat_qps.png"), dpi=110)
        plt.close(fig)
    engines = ordered(res.kv.keys(), KV_ORDER)
    if engines:
        fig, ax = plt.subplots(figsize=(10, 4.8))
        width = 0.8 / len(engines)
        for j, e in enumerate(engines):
            values = [res.kv_value(e, w, "ops_per_sec") or 0 for w in KV_WORKLOADS]
            ax.bar([i + j * width for i in range(len(KV_WORKLOADS))], values, width, label=e)
        ax.set_xticks([i + 0.4 - width / 2 for i in range(len(KV_WORKLOADS))])
        ax.set_xticklabels(KV_WORKLOADS)
        ax.set_yscale("log")
        ax.set_ylabel("operations per second")
        ax.set_title("Key/value, 16-byte keys, 100-byte values")
        ax.grid(True, axis="y", which="both", alpha=0.3)
        ax.legend(fontsize=8, ncol=3)
        fig.tight_layout()
        fig.savefig(os.path.join(directory, "kv_throughput.png"), dpi=110)
        plt.close(fig)


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    directory = argv[1]
    plots = argv[argv.index("--plots") + 1] if "--plots" in argv else os.path.join(directory, "plots")
    records = load(directory)
    if not records:
        print("report.py: no results in", directory)
        return 1
    with open(os.path.join(directory, "results.json"), "w") as f:
        json.dump(records, f, indent=1)
    write_csv(records, os.path.join(directory, "results.csv"))
    res = Results(records)
    write_markdown(res, os.path.join(directory, "table.md"))
    plot(res, plots)
    with open(os.path.join(directory, "table.md")) as f:
        print(f.read())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

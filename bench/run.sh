#!/usr/bin/env bash
# Builds the peer benchmarks and runs them side by side on this machine:
# key/value engines (bench_kv, one process per engine), exact flat vector
# search (bench_vec_flat) and HNSW (bench_vec_hnsw, one process per
# implementation). Writes JSON Lines per suite, a merged results.json and
# results.csv, a Markdown table, and PNG plots.
#
#   bench/run.sh [--smoke] [--no-build] [--build-dir DIR] [--out DIR]
#                [--suites kv,flat,hnsw] [--kv-num N] [--kv-engines a,b]
#
# Defaults: a full run (about ten minutes on two cores) into bench/results,
# plots into bench/plots. --smoke runs tiny sizes in well under a minute and
# checks results only (wrong values, inexact distances), never speed.
set -uo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
smoke=0
build=1
build_dir="$repo/build-bench"
out=""
suites="kv,flat,hnsw"
kv_num=""
kv_engines=""

while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=1 ;;
    --no-build) build=0 ;;
    --build-dir) build_dir="$2"; shift ;;
    --out) out="$2"; shift ;;
    --suites) suites="$2"; shift ;;
    --kv-num) kv_num="$2"; shift ;;
    --kv-engines) kv_engines="$2"; shift ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

if [ "$smoke" -eq 1 ]; then
  out="${out:-$build_dir/bench_smoke}"
  plots="$out/plots"
  kv_num="${kv_num:-3000}"
  kv_args=(--latency-seconds 0.3 --max-phase-seconds 20)
  flat_small=(--n 2000 --queries 50 --check-queries 10 --stream-mib 64)
  flat_large=()
  hnsw_args=(--n 3000 --queries 50 --ef 10,50)
else
  out="${out:-$repo/bench/results}"
  plots="$repo/bench/plots"
  kv_num="${kv_num:-1000000}"
  kv_args=(--latency-seconds 6 --max-phase-seconds 45)
  flat_small=(--n 10000 --queries 1000 --check-queries 50)
  flat_large=(--n 100000 --queries 1000 --scalar-queries 200 --check-queries 50)
  # Enough points on each recall/QPS curve to read off speed at equal
  # recall (0.9 and 0.95) between neighbouring points.
  hnsw_args=(--n 100000 --queries 1000 --ef 10,20,30,40,50,60,80,100,150,200)
fi

# One thread everywhere: the library's searches are single-threaded, and
# FAISS and its BLAS would otherwise take both cores.
export OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 MKL_NUM_THREADS=1

# The programs the chosen suites need.
programs=()
[[ ",$suites," == *",kv,"* ]] && programs+=(bench_kv)
[[ ",$suites," == *",flat,"* ]] && programs+=(bench_vec_flat)
[[ ",$suites," == *",hnsw,"* ]] && programs+=(bench_vec_hnsw)

if [ "$build" -eq 1 ]; then
  cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DMORVADB_BENCH=ON -DMORVADB_TESTS=OFF >/dev/null ||
    exit 1
  cmake --build "$build_dir" -j2 --target "${programs[@]}" || exit 1
fi
bin="$build_dir/bench/peers"
for program in "${programs[@]}"; do
  [ -x "$bin/$program" ] || { echo "run.sh: $bin/$program is missing (build with -DMORVADB_BENCH=ON)" >&2; exit 1; }
done

mkdir -p "$out" "$plots"
# A run replaces the results of the suites it runs and keeps the others, so
# suites can be rerun one at a time.
[[ ",$suites," == *",kv,"* ]] && rm -f "$out/kv.jsonl"
[[ ",$suites," == *",flat,"* ]] && rm -f "$out/vec_flat.jsonl"
[[ ",$suites," == *",hnsw,"* ]] && rm -f "$out/vec_hnsw.jsonl"
[ "$suites" = "kv,flat,hnsw" ] && rm -f "$out/run.jsonl"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/morvadb_bench.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
failures=0

# Conditions of this run, for the report.
{
  printf '{"suite": "run", "suites": "%s", "date": "%s", "commit": "%s", "smoke": %d, "load_before": "%s", "kernel": "%s"}\n' \
    "$suites" "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)" \
    "$smoke" "$(cut -d' ' -f1-3 /proc/loadavg)" "$(uname -r)"
} >>"$out/run.jsonl"

step() {
  local name="$1"; shift
  local start=$SECONDS
  echo "== $name"
  "$@"
  local rc=$?
  echo "-- $name: exit $rc, $((SECONDS - start)) s"
  if [ "$rc" -ne 0 ]; then failures=$((failures + 1)); echo "run.sh: $name failed" >&2; fi
}

if [[ ",$suites," == *",kv,"* ]]; then
  for engine in $("$bin/bench_kv" --list); do
    # --kv-engines runs a subset (for example this library and LevelDB).
    [ -n "$kv_engines" ] && [[ ",$kv_engines," != *",$engine,"* ]] && continue
    step "kv $engine" "$bin/bench_kv" --engine "$engine" --num "$kv_num" --dir "$scratch/kv" \
      --out "$out/kv.jsonl" "${kv_args[@]}"
  done
fi

if [[ ",$suites," == *",flat,"* ]]; then
  step "flat small" "$bin/bench_vec_flat" "${flat_small[@]}" --out "$out/vec_flat.jsonl"
  if [ "${#flat_large[@]}" -gt 0 ]; then
    step "flat large" "$bin/bench_vec_flat" "${flat_large[@]}" --out "$out/vec_flat.jsonl"
  fi
fi

if [[ ",$suites," == *",hnsw,"* ]]; then
  for impl in $("$bin/bench_vec_hnsw" --list); do
    step "hnsw $impl" "$bin/bench_vec_hnsw" --impl "$impl" "${hnsw_args[@]}" --cache "$build_dir/bench_cache" \
      --out "$out/vec_hnsw.jsonl"
  done
fi

printf '{"suite": "run", "suites": "%s", "date_end": "%s", "load_after": "%s"}\n' "$suites" \
  "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$(cut -d' ' -f1-3 /proc/loadavg)" >>"$out/run.jsonl"

# The report needs only the standard library; the plots need matplotlib,
# which Debian installs for the system interpreter.
python=python3
if /usr/bin/python3 -c 'import matplotlib' >/dev/null 2>&1; then python=/usr/bin/python3; fi
step "report" "$python" "$repo/bench/peers/report.py" "$out" --plots "$plots"

echo "results: $out (results.json, results.csv, table.md), plots: $plots"
if [ "$failures" -ne 0 ]; then
  echo "run.sh: $failures step(s) failed" >&2
  exit 1
fi

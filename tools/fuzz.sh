#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan, makes the seed
# corpora from real files the library writes, and runs every target.
#
#   tools/fuzz.sh SECONDS     run each target for SECONDS (in parallel, niced)
#   tools/fuzz.sh --ci        run each target once over its seeds and saved
#                             inputs only (a few seconds in all)
#
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS (targets run at
# once, default 2), FUZZ_TARGETS (space-separated subset), CC/CXX (default
# clang/clang++).
# Working corpora grow in $FUZZ_BUILD_DIR/corpus/<target>; crashes land in
# $FUZZ_BUILD_DIR/findings/<target>/. Inputs worth keeping go in
# fuzz/corpus/<target>/ (committed; every run replays them).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
jobs=${FUZZ_JOBS:-2}
mode=${1:-}
if [[ "$mode" != "--ci" && ! "$mode" =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS | --ci" >&2
  exit 2
fi

export CC=${CC:-clang} CXX=${CXX:-clang++}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVADB_FUZZ=ON -DMORVADB_TESTS=OFF \
  -DMORVADB_SANITIZE=address,undefined >/dev/null
nice -n 10 cmake --build "$build" -j2 --target fuzz_all >/dev/null

seeds=$build/seeds
rm -rf "$seeds"
"$build/fuzz/fuzz_make_seeds" "$seeds"

targets=${FUZZ_TARGETS:-$(cd "$build/fuzz" && ls -1 *_fuzz | sort)}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_one() {
  local target=$1 bin=$build/fuzz/$1 saved=$root/fuzz/corpus/$1
  local dirs=("$seeds/$target")
  [[ -d "$saved" ]] && dirs+=("$saved")
  mkdir -p "$build/findings/$target"
  if [[ "$mode" == "--ci" ]]; then
    # One pass over the seeds and saved inputs; any crash fails the run.
    "$bin" -runs=0 -artifact_prefix="$build/findings/$target/" "${dirs[@]}" >"$build/findings/$target.log" 2>&1
  else
    local corpus=$build/corpus/$target
    mkdir -p "$corpus"
    nice -n 10 "$bin" -max_total_time="$mode" -timeout=30 -rss_limit_mb=2048 -malloc_limit_mb=1048576 -print_final_stats=1 \
      -artifact_prefix="$build/findings/$target/" "$corpus" "${dirs[@]}" >"$build/findings/$target.log" 2>&1
  fi
}

status_dir=$(mktemp -d)
# Scratch files of the targets; a run that ends in a crash cannot clean its own.
export MORVADB_FUZZ_SCRATCH=$(mktemp -d /dev/shm/morvadb-fuzz-run-XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$status_dir" "$MORVADB_FUZZ_SCRATCH"' EXIT
running=0
for target in $targets; do
  ( if run_one "$target"; then echo 0; else echo 1; fi >"$status_dir/$target" ) &
  running=$((running + 1))
  if (( running >= jobs )); then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

failed=0
for target in $targets; do
  log=$build/findings/$target.log
  if [[ "$(cat "$status_dir/$target")" == 0 ]]; then
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    echo "ok    $target ${execs:+($execs runs)}"
  else
    echo "FAIL  $target (log: $log)"
    failed=1
  fi
done
exit $failed

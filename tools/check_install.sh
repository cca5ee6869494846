#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and builds the examples
# against it twice: through pkg-config and through find_package(morvadb).
# Usage: tools/check_install.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libmorvadb_shared.so | head -n 1)")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
export LD_LIBRARY_PATH="$libdir"

cc -std=c11 -Wall -Werror "$root/examples/c/kv_and_query.c" $(pkg-config --cflags --libs morvadb) -o "$work/kv_and_query"
c++ -std=c++17 -Wall -Werror "$root/examples/cpp/vectors.cpp" $(pkg-config --cflags --libs morvadb) -o "$work/vectors"
"$work/kv_and_query" "$work/db" | grep -q "grace"
"$work/vectors" | grep -q "database"

cmake -S "$root/examples" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" -j2 >/dev/null
"$work/cmake-build/kv_and_query" "$work/db2" | grep -q "grace"
echo "install check passed"

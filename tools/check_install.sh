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

# The Python package: the installed copy must load the installed library,
# and `pip install ./python` (offline, Debian's setuptools) must give a
# working package in a fresh virtual environment.
python=$(command -v /usr/bin/python3 || command -v python3 || true)
if [ -z "$python" ]; then
  echo "install check: no python3, Python package not checked"
  exit 0
fi
python_dir=$(find "$prefix" -type d -name morvadb -path '*packages*' | head -n 1)
(
  cd "$work"
  unset MORVADB_LIBRARY
  export PYTHONPATH=$(dirname "$python_dir")
  "$python" -c 'import morvadb, sys; assert morvadb.library_path().startswith(sys.argv[1]), morvadb.library_path()' "$prefix"
  "$python" "$root/examples/python/books.py" "$work/pydb" >"$work/books.out"
  grep -q "Iron Lullaby" "$work/books.out"
  "$python" -m morvadb where >"$work/where.out"
  grep -q "tool: $prefix/bin/morvadb" "$work/where.out"
)
if "$python" -c 'import ensurepip, setuptools, wheel' 2>/dev/null; then
  "$python" -m venv --system-site-packages "$work/venv"
  PIP_DISABLE_PIP_VERSION_CHECK=1 MORVADB_LIBRARY="$(cd "$build" && pwd)/libmorvadb_shared.so" \
    "$work/venv/bin/pip" install -q --no-index --no-build-isolation "$root/python"
  (cd "$work" && unset MORVADB_LIBRARY LD_LIBRARY_PATH &&
    "$work/venv/bin/python" "$root/examples/python/books.py" "$work/venvdb" >"$work/venv.out")
  grep -q "Iron Lullaby" "$work/venv.out"
else
  echo "install check: python3-venv, python3-setuptools or python3-wheel missing, pip install not checked"
fi
echo "install check (Python) passed"

#!/usr/bin/env bash
# Compares the dynamic symbol table of the shared library with the list of
# symbols it must export: the two must match exactly, nothing extra and
# nothing missing.
set -euo pipefail
lib=$1
list=$2
REQUIRE_ALL=1

want=$(grep -v '^#' "$list" | awk 'NF >= 2 {print $2}' | sort -u)
have=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDRBVWiu]$/ {print $3}' | sed 's/@.*//' |
       grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' | sort -u)

extra=$(comm -13 <(echo "$want") <(echo "$have") | grep . || true)
missing=$(comm -23 <(echo "$want") <(echo "$have") | grep . || true)

status=0
if [ -n "$extra" ]; then
  echo "exported but not in $list:"
  echo "$extra" | sed 's/^/  /'
  status=1
fi
if [ -n "$missing" ]; then
  echo "$(echo "$missing" | wc -l) required symbols not exported yet"
  if [ "$REQUIRE_ALL" = 1 ]; then
    echo "$missing" | sed 's/^/  /'
    status=1
  fi
fi
echo "$(echo "$have" | grep -c .) symbols exported"
exit $status

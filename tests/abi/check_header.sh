#!/usr/bin/env bash
# Every symbol the library exports must be declared in the public header.
set -euo pipefail
header=$1
list=$2
status=0
for sym in $(grep -v '^#' "$list" | awk 'NF >= 2 {print $2}'); do
  if ! grep -qE "[ *]${sym}(\(|\[| *;)" "$header"; then
    echo "not declared in $(basename "$header"): $sym"
    status=1
  fi
done
exit $status

#!/usr/bin/env bash
# Installs the peer engines and the plotting library that bench/run.sh
# compares against, from Debian's packages. Needs root (or sudo).
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libleveldb-dev librocksdb-dev liblmdb-dev libsqlite3-dev
  libhnswlib-dev libfaiss-dev
  # FAISS batches queries into matrix products; give it an optimised BLAS,
  # as its users have, instead of the reference one.
  libopenblas0-pthread
  python3 python3-matplotlib
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${packages[@]}"
echo "bench/setup.sh: peers installed"

#!/usr/bin/env bash
# Installs, when missing, every Debian package that the build, the tests, the examples and the
# benchmarks need. Safe to run again: it only calls apt-get when something is absent.
#   scripts/setup.sh          build and test dependencies
#   scripts/setup.sh --bench  also the comparisons the benchmarks measure against
set -euo pipefail

packages=(
  build-essential cmake ninja-build g++ clang-14 libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libeigen3-dev nlohmann-json3-dev libarchive-dev libssl-dev
  python3-dev python3-numpy python3-pytest python3-mypy
)
if [[ "${1:-}" == "--bench" ]]; then
  packages+=(libfaiss-dev python3-faiss python3-hnswlib python3-matplotlib libopenblas0-openmp sqlite3
    libsqlite3-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi

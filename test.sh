#!/usr/bin/env bash
# Installs what the build needs (when run as root), builds, and runs the
# whole test suite.
set -euo pipefail
cd "$(dirname "$0")"

needed=(cmake g++ make libgtest-dev)
missing=()
for package in "${needed[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
  else
    echo "test.sh: missing packages: ${missing[*]} (install them, e.g. sudo apt-get install ${missing[*]})" >&2
    exit 1
  fi
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"

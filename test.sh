#!/usr/bin/env bash
# Installs what the build needs (when run as root), builds, and runs the
# whole test suite. Tests that need an optional package (libdivsufsort-dev
# for bwt, python3-matplotlib for the picture, python3-scipy as well for the
# merge report) skip when it is absent.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh

ensure_packages cmake g++ make libgtest-dev -- libxsimd-dev libdivsufsort-dev python3-matplotlib python3-scipy || exit 1

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"

#!/usr/bin/env bash
# Installs what the build needs (when run as root), builds, and runs the
# whole test suite. Tests that need an optional package (libdivsufsort-dev
# for bwt, python3-matplotlib for the picture, python3-scipy as well for the
# merge report, groff-base for the man page check) or the real corpus
# (../shared/corpus) skip without it; the last line counts the tests passed,
# failed and skipped and names the skipped ones with their reason.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh

ensure_packages cmake g++ make libgtest-dev -- libxsimd-dev libdivsufsort-dev python3-matplotlib python3-scipy groff-base || exit 1

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
cmake --build build -j"$(nproc)"
results="$PWD/build/test-results.xml"
rm -f "$results"
status=0
ctest --test-dir build --output-on-failure -j"$(nproc)" --output-junit "$results" || status=$?
if [ -f "$results" ]; then
  awk -f scripts/test_summary.awk "$results"
else
  echo "tests: ctest wrote no results (status $status)"
fi
exit "$status"

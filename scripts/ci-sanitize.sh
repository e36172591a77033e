#!/usr/bin/env bash
# Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer
# into build-asan/ and runs the whole test suite there. Any sanitizer finding
# aborts the program that hit it, so the test that ran it fails.
#
#   scripts/ci-sanitize.sh              # g++
#   CXX=clang++ scripts/ci-sanitize.sh  # clang (into build-asan-clang/)
#   CORPUS=DIR scripts/ci-sanitize.sh   # real-data tests from DIR, not ../shared/corpus
set -euo pipefail
cd "$(dirname "$0")/.."

compiler="${CXX:-g++}"
build="build-asan"
[[ "$compiler" == *clang* ]] && build="build-asan-clang"
jobs="${JOBS:-2}"

corpusArgs=()
[ -n "${CORPUS:-}" ] && corpusArgs=(-DCORPUS_DIR="$CORPUS")
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=ON \
  "${corpusArgs[@]}"
cmake --build "$build" -j"$jobs"
# The defaults are compiled in (cmake/sanitizer_defaults.cpp); spelled out
# here as well for programs started by the tests through a shell.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:allocator_may_return_null=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:abort_on_error=1:halt_on_error=1}"
ctest --test-dir "$build" --output-on-failure -j"$jobs"
echo "ci-sanitize: the whole suite passed under ASan+UBSan ($compiler)"

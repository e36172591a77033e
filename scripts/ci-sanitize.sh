#!/usr/bin/env bash
# Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer
# into build-asan/ and runs the whole test suite there. Any sanitizer finding
# aborts the program that hit it, so the test that ran it fails. Both builds
# check internal invariants at run time (CHECK_INVARIANTS: morvalen's engine
# at every pass). Then the tests of morvalen's threaded scans, and of engines
# running side by side, run again under ThreadSanitizer (build-tsan/).
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

# morvalen spreads each pass over threads; a data race there could change
# results between runs, so its tests (1, 2 and 7 threads) run under TSan.
tsan="${build/asan/tsan}"
cmake -S . -B "$tsan" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCHECK_INVARIANTS=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -g" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" "${corpusArgs[@]}"
cmake --build "$tsan" -j"$jobs" --target morvalen_fast_test morvalen_engine_test
TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1}" "$tsan/tests/morvalen_fast_test"
# The death test forks, which TSan does not follow well; it runs under ASan.
TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1}" "$tsan/tests/morvalen_engine_test" --gtest_filter=-*DeathTest*
echo "ci-sanitize: morvalen's threaded scans passed under TSan ($compiler)"

#!/usr/bin/env bash
# Builds the three programs with several compilers, optimisation levels and
# target architectures, runs each build on the same inputs and compares every
# output byte (files, stdout, stderr, exit status) with the reference build,
# g++ Release on this host. Exits nonzero on the first configuration that
# differs or crashes.
#
#   scripts/ci-compare-builds.sh              # every configuration
#   scripts/ci-compare-builds.sh aarch64      # only the named ones
#
# Configurations: gcc-O0 gcc-O2 gcc-x86-64-v3 clang clang-O0 aarch64 s390x.
# gcc-O0 and clang (-O3) also build and run the whole test suite.
# aarch64 has no 80-bit long double, and runs morvalen's NEON kernels
# (checked); s390x is big-endian and runs the portable ones. Both run under
# qemu-user with the Debian cross toolchains (crossbuild-essential-arm64,
# crossbuild-essential-s390x, qemu-user); the vector kernels take xsimd's
# headers (libxsimd-dev) from the host, as they hold no host code.
#
# Inputs come from scripts/make_test_inputs.py: generated data, plus a few
# files of ../shared/corpus (or $CORPUS) when it is present. Work folder:
# build-compare/ (COMPARE_DIR overrides it).
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$PWD"
work="${COMPARE_DIR:-$repo/build-compare}"
jobs="${JOBS:-2}"
runTimeout="${RUN_TIMEOUT:-900}"
python=/usr/bin/python3
[ -x "$python" ] || python=python3

allConfigs=(gcc-O0 gcc-O2 clang clang-O0 aarch64 s390x)
if grep -qw avx2 /proc/cpuinfo && grep -qw fma /proc/cpuinfo; then
  # Fused multiply-add available to the compiler: -ffp-contract=off must
  # keep it out, and wider vectors must not change a sum.
  allConfigs+=(gcc-x86-64-v3)
fi
configs=("$@")
((${#configs[@]})) || configs=("${allConfigs[@]}")

fail() {
  echo "ci-compare-builds: FAIL: $*" >&2
  exit 1
}

# The command prefix that runs a program of configuration $1.
setRunner() {
  runner=()
  case "$1" in aarch64 | s390x) runner=("qemu-$1" -L "/usr/$1-linux-gnu") ;; esac
}

# The configurations that also build and run the whole test suite: the
# results must not depend on the compiler or the optimisation level.
withTests() { [[ " $suiteConfigs " == *" $1 "* ]]; }
suiteConfigs="gcc-O0 clang"

configure() {
  local name="$1" build="$work/build-$1"
  local args=(-DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release)
  if withTests "$name"; then
    args=(-DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=Release)
    [ -n "${CORPUS:-}" ] && args+=(-DCORPUS_DIR="$CORPUS")
  fi
  case "$name" in
    reference) args+=(-DCMAKE_CXX_COMPILER=g++) ;;
    gcc-O0) args+=(-DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS_RELEASE=-O0) ;;
    gcc-O2) args+=(-DCMAKE_CXX_COMPILER=g++ "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG") ;;
    gcc-x86-64-v3) args+=(-DCMAKE_CXX_COMPILER=g++ "-DCMAKE_CXX_FLAGS_RELEASE=-O3 -march=x86-64-v3") ;;
    clang) args+=(-DCMAKE_CXX_COMPILER=clang++) ;;
    clang-O0) args+=(-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS_RELEASE=-O0) ;;
    aarch64 | s390x) args+=(-DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$name-linux-gnu.cmake") ;;
    *) fail "unknown configuration $name" ;;
  esac
  echo "== building $name"
  cmake -S "$repo" -B "$build" "${args[@]}" >"$work/configure-$name.log" ||
    { cat "$work/configure-$name.log"; fail "cannot configure $name"; }
  cmake --build "$build" -j"$jobs" >"$work/build-$name.log" 2>&1 ||
    { tail -40 "$work/build-$name.log"; fail "cannot build $name"; }
}

# run CASE_DIR LABEL PROGRAM ARGS...: runs a program of the current build in
# CASE_DIR, keeping its stdout, stderr and exit status as files there.
run() {
  local dir="$1" label="$2" program="$3"
  shift 3
  local status=0
  (cd "$dir" && timeout "$runTimeout" "${runner[@]}" "$bin/$program" "$@" \
    >"$label.stdout" 2>"$label.stderr") || status=$?
  echo "$status" >"$dir/$label.status"
  if ((status >= 124)); then
    fail "$config: $program crashed or timed out (status $status) in $dir"
  fi
}

runCases() {
  local out="$work/out/$config" input name dir
  rm -rf "$out"
  for input in "$work/inputs/chain"/*; do
    name="$(basename "$input")"
    dir="$out/chain/$name"
    mkdir -p "$dir"
    cp "$input" "$dir/book1bwt."
    run "$dir" blockcode blockcode
    if [ -f "$dir/book1bwt.frq" ]; then
      run "$dir" morvalen morvalen book1bwt.frq
      run "$dir" remix remix book1bwt. morvalen.ord
      run "$dir" remix-inverse remix --inverse remixed.dmp morvalen.ord
    fi
    rm "$dir/book1bwt."
  done
  for input in "$work/inputs/code"/*; do
    dir="$out/code/$(basename "$input")"
    mkdir -p "$dir"
    cp "$input" "$dir/book1bwt."
    run "$dir" blockcode blockcode
    rm "$dir/book1bwt."
  done
  for input in "$work/inputs/matrix"/*; do
    dir="$out/matrix/$(basename "$input")"
    mkdir -p "$dir"
    run "$dir" morvalen morvalen "$input"
  done
  for input in "$work/inputs/remix"/*; do
    dir="$out/remix/$(basename "$input")"
    mkdir -p "$dir"
    run "$dir" remix remix "$input/data" "$input/order"
    # The data read as a remixed file: restored for a permutation, refused
    # otherwise.
    run "$dir" remix-inverse remix --inverse "$input/data" "$input/order"
  done
}

compareWithReference() {
  local differences
  differences="$(diff -r -q "$work/out/reference" "$work/out/$config" || true)"
  if [ -n "$differences" ]; then
    echo "$differences" >&2
    # The first differing byte of each differing file, for the record.
    diff -r -q "$work/out/reference" "$work/out/$config" 2>/dev/null |
      sed -n 's/^Files \(.*\) and \(.*\) differ$/\1 \2/p' | head -5 |
      while read -r a b; do cmp "$a" "$b" >&2 || true; done || true
    fail "$config differs from the reference build"
  fi
  echo "== $config: identical to the reference on $(find "$work/out/$config" -type f | wc -l) output files"
}

mkdir -p "$work"
rm -rf "$work/inputs" "$work/corpus"
corpusArgs=()
corpus="${CORPUS:-$repo/../shared/corpus}"
if [ -f "$corpus/calgary.tar.gz" ] && [ -f "$corpus/cantrbry.tar.gz" ]; then
  mkdir -p "$work/corpus"
  tar xzf "$corpus/calgary.tar.gz" -C "$work/corpus"
  tar xzf "$corpus/cantrbry.tar.gz" -C "$work/corpus"
  corpusArgs=(--corpus-dir "$work/corpus")
else
  echo "== no ../shared/corpus: generated inputs only"
fi
"$python" "$repo/scripts/make_test_inputs.py" "$work/inputs" "${corpusArgs[@]}"

config=reference
configure reference
bin="$work/build-reference"
setRunner reference
# The chain's usual input is a Burrows-Wheeler transform: add the transforms
# of the real files (and of one generated file), made once by the native bwt
# when it was built (it needs libdivsufsort).
if [ -x "$bin/bwt" ]; then
  mkdir -p "$work/bwt-tmp"
  for input in "$work/inputs/chain"/corpus-* "$work/inputs/chain/interleaved" "$work/inputs/code"/*; do
    [ -f "$input" ] || continue
    name="$(basename "$input")"
    "$bin/bwt" "$input" "$work/bwt-tmp/out" >/dev/null || fail "bwt failed on $input"
    mv "$work/bwt-tmp/out" "$(dirname "$input")/bwt-${name#corpus-}"
  done
  rm -rf "$work/bwt-tmp"
fi
runCases

for config in "${configs[@]}"; do configure "$config"; done

# The runs, JOBS at a time, emulated ones first as they take longest. Each
# runs in a subshell of its own; its log tells what failed.
# The vector kernels a build must run (morvalen picks one at start-up): on
# aarch64 the NEON ones, whose outputs runCases compares like any others.
expectedKernel() {
  case "$1" in aarch64) echo neon ;; *) echo "" ;; esac
}

checkKernel() {
  local expected matrix line
  expected="$(expectedKernel "$1")"
  [ -n "$expected" ] || return 0
  # The largest matrix: one with passes to run (the engine starts only then).
  matrix="$(ls -S "$work/inputs/matrix"/* | head -1)"
  line="$("${runner[@]}" "$bin/bench/morvalen_counts" "$matrix" 1)" || fail "$1: morvalen_counts failed"
  [[ " $line " == *" kernel $expected "* ]] || fail "$1: morvalen did not run its $expected kernel: $line"
  echo "== $1: morvalen runs its $expected kernel"
}

runConfig() {
  config="$1"
  bin="$work/build-$1"
  setRunner "$1"
  local start=$SECONDS
  runCases
  checkKernel "$1"
  echo "== $1: ran in $((SECONDS - start)) s"
  if withTests "$1"; then
    ctest --test-dir "$bin" --output-on-failure >"$work/ctest-$1.log" 2>&1 ||
      { tail -60 "$work/ctest-$1.log"; fail "$1: the test suite fails"; }
    echo "== $1: $(grep -E 'tests passed' "$work/ctest-$1.log")"
  fi
}
ordered=()
for config in aarch64 s390x; do [[ " ${configs[*]} " == *" $config "* ]] && ordered+=("$config"); done
for config in "${configs[@]}"; do [[ "$config" == aarch64 || "$config" == s390x ]] || ordered+=("$config"); done
for config in "${ordered[@]}"; do
  while (($(jobs -rp | wc -l) >= jobs)); do wait -n || true; done
  rm -f "$work/run-$config.status"
  (
    status=0
    (runConfig "$config") >"$work/run-$config.log" 2>&1 || status=$?
    echo "$status" >"$work/run-$config.status"
  ) &
done
wait
failedRuns=()
for config in "${ordered[@]}"; do
  cat "$work/run-$config.log"
  [ "$(cat "$work/run-$config.status" 2>/dev/null)" = 0 ] || failedRuns+=("$config")
done
((${#failedRuns[@]} == 0)) || fail "runs failed: ${failedRuns[*]} (see above)"

for config in "${configs[@]}"; do compareWithReference; done
echo "ci-compare-builds: all configurations give identical outputs: ${configs[*]}"

#!/usr/bin/env bash
# blockcode's streams must not depend on the compiler, its flags or the host.
# Builds the blockcode tests with g++ and clang++ at -O0 and -O3 and runs
# them; then cross-builds the program for aarch64 (long double is binary128
# there, so only the integer path exists) and s390x (big-endian), runs it
# under qemu on generated and corpus inputs, and compares its outputs with
# the host build's.
#
# usage: scripts/check_blockcode_builds.sh [WORK_FOLDER]
# Needs: clang++, aarch64-linux-gnu-g++, s390x-linux-gnu-g++, qemu-user.
# Steps whose tools are missing are skipped with a note.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="${1:-$root/build-check}"
corpus="${CORPUS:-$root/../shared/corpus}"
mkdir -p "$work"
tests='RangeEncoder|ExtendedReal|BlockCoder|BlockcodeProgram'

for compiler in g++ clang++; do
  command -v "$compiler" >/dev/null || { echo "skip: no $compiler"; continue; }
  for level in -O0 -O3; do
    build="$work/$compiler$level"
    echo "== $compiler $level"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_COMPILER="$compiler" \
      -DCMAKE_CXX_FLAGS="$level" -DCORPUS_DIR="$corpus" >/dev/null
    cmake --build "$build" -j2 --target blockcode range_encoder_test block_coder_test blockcode_cli_test >/dev/null
    ctest --test-dir "$build" -R "$tests" -j2 --output-on-failure | tail -n 3
  done
done

# Inputs for the cross check: generated ones, and the corpus files when present.
inputs="$work/inputs"
rm -rf "$inputs" && mkdir -p "$inputs"
head -c 300000 /dev/urandom > "$inputs/noise"
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 131 >> 3) & 255 for i in range(200000)))' > "$inputs/ramps"
printf '\xff\xff\xff\xff' > "$inputs/deferred" && head -c 2044 /dev/zero >> "$inputs/deferred"
if [ -f "$corpus/calgary.tar.gz" ]; then
  mkdir -p "$inputs/corpus"
  tar xzf "$corpus/calgary.tar.gz" -C "$inputs/corpus"
  tar xzf "$corpus/cantrbry.tar.gz" -C "$inputs/corpus"
  find "$inputs/corpus" -type f | LC_ALL=C sort | xargs cat > "$inputs/all"
  rm -rf "$inputs/corpus"
fi

host="$work/g++-O3/blockcode"
for target in aarch64 s390x; do
  cross="$target-linux-gnu-g++"
  command -v "$cross" >/dev/null && command -v "qemu-$target" >/dev/null ||
    { echo "skip: no $cross or qemu-$target"; continue; }
  echo "== $target (under qemu)"
  build="$work/$target"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$target" -DCMAKE_CXX_COMPILER="$cross" \
    -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
  cmake --build "$build" -j2 --target blockcode >/dev/null
  for input in "$inputs"/*; do
    for program in "$host" "qemu-$target $build/blockcode"; do
      run="$work/run-$(basename "$input")-$([ "$program" = "$host" ] && echo host || echo "$target")"
      rm -rf "$run" && mkdir -p "$run" && cp "$input" "$run/book1bwt."
      (cd "$run" && $program)
    done
    a="$work/run-$(basename "$input")-host"
    b="$work/run-$(basename "$input")-$target"
    cmp "$a/book1bwt.bar" "$b/book1bwt.bar" && cmp "$a/book1bwt.frq" "$b/book1bwt.frq"
    echo "   $(basename "$input"): identical ($(stat -c %s "$a/book1bwt.bar") code bytes)"
    rm -rf "$a" "$b"
  done
done
echo "all builds agree"

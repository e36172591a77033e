#!/usr/bin/env bash
# Runs blockcode and the literal baseline (blockcode_direct) side by side on
# the same input, checks that both write identical outputs, and prints MB/s
# and the speed ratio.
#
# usage: bench/blockcode.sh [INPUT] [ROUNDS]
#   INPUT defaults to the Calgary and Canterbury files concatenated (from
#   ../shared/corpus, or $CORPUS), BWT-transformed when make_bwt was built; set RAW=1 to
#   skip the transform. BUILD names the build folder (default build).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD:-$root/build}"
rounds="${2:-5}"
for program in blockcode blockcode_direct; do
  [ -x "$build/$program" ] || { echo "blockcode.sh: $build/$program is missing; build first" >&2; exit 1; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/fast" "$work/direct"

if [ -n "${1:-}" ]; then
  cp "$1" "$work/input"
  label="$1"
else
  corpus="${CORPUS:-$root/../shared/corpus}"
  [ -f "$corpus/calgary.tar.gz" ] || { echo "blockcode.sh: no input given and no $corpus" >&2; exit 1; }
  mkdir -p "$work/corpus"
  tar xzf "$corpus/calgary.tar.gz" -C "$work/corpus"
  tar xzf "$corpus/cantrbry.tar.gz" -C "$work/corpus"
  find "$work/corpus" -type f | LC_ALL=C sort | xargs cat > "$work/input"
  label="Calgary + Canterbury concatenated"
  if [ -z "${RAW:-}" ] && [ -x "$build/make_bwt" ]; then
    "$build/make_bwt" "$work/input" "$work/input.bwt"
    mv "$work/input.bwt" "$work/input"
    label="$label, BWT"
  fi
fi
cp "$work/input" "$work/fast/book1bwt."
cp "$work/input" "$work/direct/book1bwt."
bytes=$(stat -c %s "$work/input")

# Seconds of CPU (user + system) for one run of $2 in folder $1.
cpu_seconds() {
  (cd "$1" && /usr/bin/time -f "%U %S" -o "$work/time" "$2" >/dev/null)
  awk '{ printf "%.3f", $1 + $2 }' "$work/time"
}

best_fast=""; best_direct=""
for ((round = 1; round <= rounds; round++)); do
  t_direct=$(cpu_seconds "$work/direct" "$build/blockcode_direct")
  t_fast=$(cpu_seconds "$work/fast" "$build/blockcode")
  echo "round $round: direct ${t_direct}s  blockcode ${t_fast}s  ratio $(awk -v a="$t_direct" -v b="$t_fast" 'BEGIN { printf "%.2f", a / b }')"
  best_direct=$(awk -v a="$t_direct" -v b="${best_direct:-1e9}" 'BEGIN { print (a < b ? a : b) }')
  best_fast=$(awk -v a="$t_fast" -v b="${best_fast:-1e9}" 'BEGIN { print (a < b ? a : b) }')
done

cmp "$work/fast/book1bwt.bar" "$work/direct/book1bwt.bar"
cmp "$work/fast/book1bwt.frq" "$work/direct/book1bwt.frq"
echo "input: $label, $bytes bytes; outputs identical"
awk -v n="$bytes" -v d="$best_direct" -v f="$best_fast" 'BEGIN {
  printf "best CPU time of the rounds: direct %.1f MB/s, blockcode %.1f MB/s, ratio %.2f\n",
         n / d / 1e6, n / f / 1e6, d / f }'

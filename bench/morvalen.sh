#!/usr/bin/env bash
# Benchmarks morvalen on the count matrix of the Calgary and Canterbury files
# (each file Burrows-Wheeler transformed, the transforms concatenated, one row
# of 256 byte counts per 2048-byte block), side by side in one run with
#   - bench/morvalen_direct, the step-by-step transcription (the baseline), and
#   - fastcluster's Ward linkage on the same rows (raw counts as float64
#     points; Debian python3-fastcluster under /usr/bin/python3),
# and checks that morvalen and the transcription print the same lines and
# write the same "morvalen.ord" and "morvalen.frq". With --scaling it then
# clusters grown matrices (corpus rows with perturbed counts) of 5,000 to
# 20,000 rows and reports the time (best of the runs) and the merge deltas
# evaluated.
#
# Usage: bench/morvalen.sh [--runs N] [--scaling] [--sizes "5000 10000"]
# Needs a Release build in $BUILD (default: build/) with bench/make_matrix.
# Matrices are made under $BUILD/bench-tmp, never in the source tree.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$repo/build}
corpus=${CORPUS:-$repo/../shared/corpus}
runs=3
scaling=0
sizes="5000 10000 15000 20000"
while (($#)); do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --scaling) scaling=1; shift ;;
    --sizes) sizes=$2; scaling=1; shift 2 ;;
    *) echo "usage: bench/morvalen.sh [--runs N] [--scaling] [--sizes \"N...\"]" >&2; exit 2 ;;
  esac
done

for program in "$build/morvalen" "$build/bench/morvalen_direct" "$build/bench/make_matrix" \
               "$build/bench/morvalen_counts"; do
  [ -x "$program" ] || { echo "bench/morvalen.sh: $program is missing: build first" >&2; exit 1; }
done
[ -f "$corpus/calgary.tar.gz" ] && [ -f "$corpus/cantrbry.tar.gz" ] ||
  { echo "bench/morvalen.sh: no corpus at $corpus" >&2; exit 1; }

work=$build/bench-tmp/morvalen
mkdir -p "$work"
if [ ! -f "$work/corpus/.complete" ]; then
  rm -rf "$work/corpus" && mkdir -p "$work/corpus/calgary" "$work/corpus/cantrbry"
  tar xzf "$corpus/calgary.tar.gz" -C "$work/corpus/calgary"
  tar xzf "$corpus/cantrbry.tar.gz" -C "$work/corpus/cantrbry"
  touch "$work/corpus/.complete"
fi
matrix=$work/corpus.frq
find "$work/corpus/calgary" "$work/corpus/cantrbry" -type f ! -name '.*' -print0 | LC_ALL=C sort -z |
  xargs -0 "$build/bench/make_matrix" corpus "$matrix"

# Wall seconds of "$@" run in directory $1, stdout to $1/stdout.
seconds() {
  local dir=$1; shift
  mkdir -p "$dir"
  local start end
  start=$(date +%s.%N)
  (cd "$dir" && "$@" > stdout)
  end=$(date +%s.%N)
  echo "$start $end" | awk '{printf "%.3f", $2 - $1}'
}

# Smallest of the numbers on stdin.
smallest() { sort -g | head -1; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) hardware threads"
direct=() fast=() fast1=() wardMatrix=() wardVector=()
for ((run = 1; run <= runs; run++)); do
  direct+=("$(seconds "$work/direct" "$build/bench/morvalen_direct" "$matrix")")
  fast+=("$(seconds "$work/fast" "$build/morvalen" "$matrix")")
  fast1+=("$(seconds "$work/fast1" env MORVALEN_THREADS=1 "$build/morvalen" "$matrix")")
  ward=$(/usr/bin/python3 "$repo/bench/ward.py" "$matrix")
  wardMatrix+=("$(awk '/ward-matrix/ {print $2}' <<<"$ward")")
  wardVector+=("$(awk '/ward-vector/ {print $2}' <<<"$ward")")
  echo "run $run: direct ${direct[-1]} s, morvalen ${fast[-1]} s (1 thread: ${fast1[-1]} s)," \
       "ward ${wardMatrix[-1]} s / vector ${wardVector[-1]} s"
done

same=yes
for name in stdout morvalen.ord morvalen.frq; do
  for variant in fast fast1; do
    cmp -s "$work/direct/$name" "$work/$variant/$name" || { same=NO; echo "DIFFERENT: $variant/$name"; }
  done
done

bestDirect=$(printf '%s\n' "${direct[@]}" | smallest)
bestFast=$(printf '%s\n' "${fast[@]}" | smallest)
bestFast1=$(printf '%s\n' "${fast1[@]}" | smallest)
bestWard=$(printf '%s\n' "${wardMatrix[@]}" | smallest)
bestVector=$(printf '%s\n' "${wardVector[@]}" | smallest)
rows=$(od -An -tu4 -j4 -N4 "$matrix" | tr -d ' ')
echo
echo "matrix: $rows rows x 256 columns ($(wc -l < "$work/direct/stdout") passes); best of $runs runs, wall seconds"
awk -v d="$bestDirect" -v f="$bestFast" -v f1="$bestFast1" -v w="$bestWard" -v v="$bestVector" 'BEGIN {
  printf "  morvalen_direct        %8.3f\n", d
  printf "  morvalen               %8.3f   %6.1fx faster than direct\n", f, d / f
  printf "  morvalen, 1 thread     %8.3f   %6.1fx faster than direct\n", f1, d / f1
  printf "  fastcluster ward       %8.3f   morvalen takes %.2f of its time\n", w, f / w
  printf "  fastcluster ward (vec) %8.3f   morvalen takes %.2f of its time\n", v, f / v
}'
echo "outputs of morvalen and morvalen_direct identical: $same"
"$build/bench/morvalen_counts" "$matrix" | awk -v n="$rows" '{
  for (i = 1; i < NF; i += 2) v[$i] = $(i + 1)
  printf "merge deltas: %d evaluated (%.2f n^2) after %d lower bounds (%.2f n^2); %d of %d refreshes answered from lists; kernel %s\n",
         v["deltas"], v["deltas"] / (n * n), v["bounds"], v["bounds"] / (n * n), v["from-lists"], v["refreshes"], v["kernel"]
}'
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
[ "$same" = yes ] || exit 1

if ((scaling)); then
  echo
  echo "scaling: grown matrices (corpus rows, counts perturbed), core only, all threads, best of $runs runs"
  for size in $sizes; do
    grown=$work/grown$size.frq
    [ -f "$grown" ] || "$build/bench/make_matrix" grow "$matrix" "$grown" "$size" 1 > /dev/null
    # The counts are the same in every run; the fastest run's line is kept.
    line=""
    for ((run = 1; run <= runs; run++)); do
      next=$("$build/bench/morvalen_counts" "$grown")
      seconds=$(awk '{for (i = 1; i < NF; i += 2) if ($i == "seconds") print $(i + 1)}' <<<"$next")
      best=$(awk '{for (i = 1; i < NF; i += 2) if ($i == "seconds") print $(i + 1)}' <<<"$line")
      if [ -z "$line" ] || awk -v a="$seconds" -v b="$best" 'BEGIN {exit !(a < b)}'; then line=$next; fi
    done
    awk -v n="$size" '{
      for (i = 1; i < NF; i += 2) v[$i] = $(i + 1)
      printf "  %6d rows: %8.3f s, %11d deltas (%.2f n^2), %11d bounds (%.2f n^2), %d of %d refreshes from lists\n",
             n, v["seconds"], v["deltas"], v["deltas"] / (n * n), v["bounds"], v["bounds"] / (n * n),
             v["from-lists"], v["refreshes"]
    }' <<<"$line"
  done
fi

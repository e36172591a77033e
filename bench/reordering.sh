#!/usr/bin/env bash
# What the reordering buys: for each FILE, as it is ("raw") and through its
# Burrows-Wheeler transform ("bwt"), runs blockcode, morvalen, remix and
# scripts/merge_report.py, and compresses the input of the chain and
# "remixed.dmp" with zstd -19, xz -9 and bzip2 -9. Prints one table row per
# file and setting (sizes in bytes; the change is remixed against input):
#
#   file | setting | blocks | best cut | own models | best cut | one model |
#   code stream | order | zstd -19 | xz -9 | bzip2 -9
#
# where "own models", "best cut" and "one model" are the summary's costs,
# "order" the cost of storing the block order (log2 of blocks!, in bytes),
# and each compressor column reads "input -> remixed (change)".
#
# Usage: bench/reordering.sh FILE...
# Needs a Release build in $BUILD (default: build/, with bwt), zstd, xz,
# bzip2, and /usr/bin/python3 with numpy, scipy and matplotlib. Works in
# $BUILD/reordering-tmp.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$repo/build}
work=$build/reordering-tmp
(($#)) || { echo "usage: bench/reordering.sh FILE..." >&2; exit 2; }
for program in blockcode morvalen remix bwt; do
  [ -x "$build/$program" ] || { echo "bench/reordering.sh: $build/$program is missing: build first" >&2; exit 1; }
done
for program in zstd xz bzip2; do
  command -v "$program" >/dev/null || { echo "bench/reordering.sh: $program is missing" >&2; exit 1; }
done

compressed() {
  case $1 in
    zstd) zstd -19 -q -c "$2" | wc -c ;;
    xz) xz -9 -c "$2" | wc -c ;;
    bzip2) bzip2 -9 -c "$2" | wc -c ;;
  esac
}

# The value of a cost line of summary.txt ("  LABEL   VALUE ...").
cost() { sed -n "s/^  $1 *\([-0-9.]*\).*/\1/p" "$2"; }

echo "| file | setting | blocks | best cut | own models | best cut | one model | code stream | order |" \
     "zstd -19 | xz -9 | bzip2 -9 |"
echo "|---|---|---:|---:|---:|---:|---:|---:|---:|---|---|---|"
for file in "$@"; do
  [ -f "$file" ] || { echo "bench/reordering.sh: cannot read \"$file\"" >&2; exit 1; }
  path=$(cd "$(dirname "$file")" && pwd)/$(basename "$file")
  for setting in raw bwt; do
    dir=$work/$(basename "$file")-$setting
    rm -rf "$dir" && mkdir -p "$dir"
    if [ $setting = bwt ]; then
      (cd "$dir" && "$build/bwt" "$path")
    else
      cp "$path" "$dir/book1bwt."
    fi
    (cd "$dir" && "$build/blockcode" && "$build/morvalen" book1bwt.frq > morvalen.log &&
     "$build/remix" book1bwt. morvalen.ord && "$build/remix" --inverse remixed.dmp morvalen.ord &&
     cmp -s book1bwt. restored.dmp) || { echo "bench/reordering.sh: the chain failed on $file" >&2; exit 1; }
    /usr/bin/python3 "$repo/scripts/merge_report.py" "$dir/book1bwt.frq" "$dir/morvalen.log" "$dir/report" \
      > /dev/null
    summary=$dir/report/summary.txt
    blocks=$(( ($(stat -c %s "$dir/book1bwt.") + 2047) / 2048 ))
    clusters=$(sed -n 's/^best: \([0-9]*\) clusters$/\1/p' "$summary")
    row="| $(basename "$file") | $setting | $blocks | $clusters | $(cost "every block its own model" "$summary") |"
    row+=" $(cost "best cut, [0-9]* clusters" "$summary") | $(cost "one model for all" "$summary") |"
    row+=" $(cost "blockcode's code stream" "$summary") | $(cost "the order, if stored" "$summary") |"
    for compressor in zstd xz bzip2; do
      before=$(compressed $compressor "$dir/book1bwt.")
      after=$(compressed $compressor "$dir/remixed.dmp")
      row+=" $before -> $after ($(awk -v a="$after" -v b="$before" 'BEGIN { printf "%+.1f %%", 100 * (a - b) / b }')) |"
    done
    echo "$row"
  done
done

#!/usr/bin/env bash
# Runs the whole chain and prints a short report.
#
#   ./demo.sh          on the project's own sample: text, a table, binary
#                      records and random bytes interleaved block by block
#   ./demo.sh FILE     on FILE, through its Burrows-Wheeler transform (bwt)
#
# Installs missing packages when run as root (otherwise says what to
# install), builds into build/, and works in demo-out/:
#   bwt or make_sample -> book1bwt.   blockcode -> book1bwt.frq, book1bwt.bar
#   morvalen book1bwt.frq -> morvalen.ord, morvalen.frq (merges in morvalen.log)
#   remix book1bwt. morvalen.ord -> remixed.dmp
#   remix --inverse remixed.dmp morvalen.ord -> restored.dmp (the input again)
#   scripts/draw_counts.py -> blocks.png (before and after, side by side)
#   scripts/merge_report.py -> report/: summary.txt, dendrogram.png, cost.png,
#                              linkage.csv, tree.nwk
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh

if [ $# -gt 1 ] || [ "${1:-}" = -h ] || [ "${1:-}" = --help ]; then
  sed -n '2,16s/^# \{0,1\}//p' "$0"
  exit $(( $# > 1 ))
fi
input_file=""
if [ $# = 1 ]; then
  [ -f "$1" ] || { echo "demo.sh: cannot read \"$1\": not a file" >&2; exit 1; }
  input_file=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
fi

ensure_packages cmake g++ make -- libxsimd-dev libgtest-dev libdivsufsort-dev python3-matplotlib python3-scipy || exit 1
if [ -n "$input_file" ] && package_missing libdivsufsort-dev; then
  echo "demo.sh: a FILE goes through bwt, which needs libdivsufsort-dev" >&2
  exit 1
fi

# Says what runs, on stderr; the programs add their own progress line there
# while they work, when it is a terminal.
step() { echo "demo.sh: $*" >&2; }

# The build's percentage on one line, when stderr is a terminal; compiler
# messages still reach stderr.
build_progress() {
  if [ -t 2 ]; then
    awk '/^\[ *[0-9]+%\]/ { printf "\rdemo.sh: building the programs in build/: %s", substr($0, 2, index($0, "%") - 1) > "/dev/stderr"; fflush("/dev/stderr") }
         END { printf "\r%60s\r", "" > "/dev/stderr" }'
  else
    cat >/dev/null
  fi
}

# The demo needs only the programs; the test suite shares the build tree.
testing=ON
package_missing libgtest-dev && testing=OFF
step "building the programs in build/ (a few minutes the first time)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=$testing >/dev/null
cmake --build build -j"$(nproc)" --target programs | build_progress

tools=$PWD/build
out=demo-out
mkdir -p "$out"
(cd "$out" && rm -f book1bwt. book1bwt.idx book1bwt.frq book1bwt.bar morvalen.ord morvalen.frq \
   morvalen.log remixed.dmp restored.dmp blocks.png && rm -rf report)

if [ -n "$input_file" ]; then
  step "bwt: transforming $input_file into $out/book1bwt."
  (cd "$out" && "$tools/bwt" "$input_file")
  source_text="$input_file through bwt (primary index in $out/book1bwt.idx)"
else
  step "make_sample: writing the sample to $out/book1bwt."
  (cd "$out" && "$tools/make_sample" book1bwt.)
  source_text="the project's sample: text, table, binary records and random bytes, interleaved by block"
fi
step "blockcode: counting and coding the blocks of $out/book1bwt."
(cd "$out" && "$tools/blockcode")
step "morvalen: ordering the blocks (one line per merge in $out/morvalen.log)"
(cd "$out" && "$tools/morvalen" book1bwt.frq > morvalen.log)
step "remix: writing $out/remixed.dmp"
(cd "$out" && "$tools/remix" book1bwt. morvalen.ord)
step "remix --inverse: writing $out/restored.dmp"
(cd "$out" && "$tools/remix" --inverse remixed.dmp morvalen.ord)

# Succeeds when REMIXED holds the same blocks as INPUT, as many times each.
# The blocks of INPUT are its 2048-byte pieces; in REMIXED the short last
# block keeps its length wherever the order put it, so REMIXED is cut at that
# position (found in ORDER) and in 2048-byte pieces around it.
same_blocks() {
  local input=$1 order=$2 remixed=$3
  local length blocks short position tmp
  length=$(stat -c %s "$input")
  [ "$length" = "$(stat -c %s "$remixed")" ] || return 1
  blocks=$(( (length + 2047) / 2048 ))
  short=$(( length % 2048 ))
  tmp=$(mktemp -d)
  split -b 2048 -a 8 "$input" "$tmp/in."
  if [ "$short" = 0 ]; then
    split -b 2048 -a 8 "$remixed" "$tmp/out."
  else
    position=$(od -An -v -tu1 -w4 "$order" | awk -v last=$((blocks - 1)) -v used="$blocks" \
      'NR > used { exit } $1 + 256 * $2 + 65536 * $3 + 16777216 * $4 == last { print NR - 1; exit }')
    if [ -z "$position" ]; then rm -rf "$tmp"; return 1; fi
    head -c $((position * 2048)) "$remixed" | split -b 2048 -a 8 - "$tmp/out.a."
    tail -c +$((position * 2048 + 1)) "$remixed" | head -c "$short" > "$tmp/out.b"
    tail -c +$((position * 2048 + short + 1)) "$remixed" | split -b 2048 -a 8 - "$tmp/out.c."
  fi
  local verdict=0
  cmp -s <(find "$tmp" -name 'in.*' -exec sha256sum {} + | cut -d' ' -f1 | sort) \
         <(find "$tmp" -name 'out.*' -size +0 -exec sha256sum {} + | cut -d' ' -f1 | sort) || verdict=1
  rm -rf "$tmp"
  return $verdict
}

length=$(stat -c %s "$out/book1bwt.")
blocks=$(( (length + 2047) / 2048 ))
code_bytes=$(stat -c %s "$out/book1bwt.bar")
merges=$(wc -l < "$out/morvalen.log")
remixed_length=$(stat -c %s "$out/remixed.dmp")
bits_per_byte=$(awk -v c="$code_bytes" -v l="$length" 'BEGIN { if (l) printf "%.4f", 8 * c / l; else print "-" }')
verdict="no"
same_blocks "$out/book1bwt." "$out/morvalen.ord" "$out/remixed.dmp" && verdict="yes"
[ "$remixed_length" = "$length" ] && same_length="yes" || same_length="no"
restored="no"
cmp -s "$out/book1bwt." "$out/restored.dmp" && restored="yes"

picture="not drawn (install python3-matplotlib)"
if ! package_missing python3-matplotlib && step "draw_counts.py: drawing $out/blocks.png" &&
   scripts/draw_counts.py "$out/book1bwt.frq" "$out/morvalen.frq" -o "$out/blocks.png"; then
  picture="$out/blocks.png (left: book1bwt.frq before, right: morvalen.frq after)"
fi

echo "input:        $source_text"
echo "              $out/book1bwt.: $length bytes, $blocks blocks of 2048 bytes"
echo "code stream:  $out/book1bwt.bar: $code_bytes bytes, $bits_per_byte bits per input byte"
echo "merges:       $merges (one line each in $out/morvalen.log)"
echo "remixed:      $out/remixed.dmp: $remixed_length bytes; same length as the input: $same_length;" \
     "same multiset of blocks: $verdict"
echo "picture:      $picture"
echo "restored:     $out/restored.dmp (remix --inverse remixed.dmp morvalen.ord): identical to the input: $restored"
if package_missing python3-matplotlib || package_missing python3-scipy; then
  echo "clustering:   no report (install python3-matplotlib and python3-scipy)"
elif scripts/merge_report.py "$out/book1bwt.frq" "$out/morvalen.log" "$out/report" \
     > /dev/null; then
  echo "clustering:   $out/report/summary.txt:"
  sed 's/^/              /' "$out/report/summary.txt"
  echo "pictures:     $out/report/dendrogram.png (the merge tree, best cut marked)"
  echo "              $out/report/cost.png (running sum of EM against the number of clusters)"
else
  echo "clustering:   merge_report.py failed (see above)"
  restored="no"
fi
[ "$verdict" = yes ] && [ "$same_length" = yes ] && [ "$restored" = yes ]

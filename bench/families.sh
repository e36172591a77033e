#!/usr/bin/env bash
# Benchmarks morvalen on the kinds of files people cluster, each family built
# at run time from files found on this machine (never committed):
#   corpus       the Calgary and Canterbury files, each BWT-transformed (the
#                matrix of bench/morvalen.sh; its size is fixed)
#   perturbed    ROWS corpus rows with their counts moved by -2..+2
#   library      a raw shared library of the machine (the smallest of at least
#                95% of ROWS blocks, else the largest ones concatenated), its
#                first ROWS blocks
#   library-bwt  the same bytes, BWT-transformed as one file
#   archive      a tar of documentation (/usr/share/doc) and headers
#                (/usr/include), its first ROWS blocks
#   archive-bwt  the same bytes, BWT-transformed
#   text         the text files under /usr/share/doc (then headers), raw
#   text-bwt     the same bytes, BWT-transformed
#   identical    IDENTICAL copies of one block's row (of the archive)
#   copies       ROWS near copies of ROWS/10 archive rows (at most 300): each one
#                with 8 bytes overwritten at random
# For each it runs, side by side (best of --runs, interleaved):
#   - morvalen on 2 threads and on 1 thread (MORVALEN_THREADS),
#   - bench/morvalen_direct, the step-by-step transcription, once, where the
#     matrix has at most --direct-rows rows, stopped after --direct-seconds,
#   - fastcluster's Ward linkage on the same rows (bench/ward.py);
# checks that morvalen writes the same outputs on 2 threads, on 1 thread
# and, where it finished, as the transcription; and prints a table per
# family with the seconds, the ratios to Ward and the counters of
# bench/morvalen_counts on 2 threads. A summary table closes the run.
#
# Usage: bench/families.sh [--rows N] [--identical N] [--runs N]
#          [--families "NAME..."] [--direct-rows N] [--direct-seconds S]
#          [--ward auto|matrix|vector|none] [--library FILE] [--fresh]
#          [--matrices-only]
#   --rows       rows of the sized families (default 15000)
#   --identical  rows of the identical family (default: two thirds of --rows,
#                10000 at the default size)
#   --ward       fastcluster.linkage (matrix: n^2/2 doubles of memory) or
#                linkage_vector; auto takes the matrix up to 30,000 rows
#   --fresh      rebuild the matrices (they are kept per family and size)
#   --matrices-only  make the matrices and print their paths, run nothing
# Needs a Release build in $BUILD (default: build/) with bench/make_matrix
# (libdivsufsort); CORPUS names the corpus folder (default ../shared/corpus).
# Everything it makes goes to $BUILD/bench-tmp/families.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$repo/build}
corpus=${CORPUS:-$repo/../shared/corpus}
allFamilies="corpus perturbed library library-bwt archive archive-bwt text text-bwt identical copies"
rows=15000
identical=""
runs=1
families=$allFamilies
directRows=4000
directSeconds=300
wardMode=auto
library=""
fresh=0
matricesOnly=0
usage() {
  echo "usage: bench/families.sh [--rows N] [--identical N] [--runs N] [--families \"NAME...\"]" >&2
  echo "         [--direct-rows N] [--direct-seconds S] [--ward auto|matrix|vector|none] [--library FILE] [--fresh]" >&2
  echo "         [--matrices-only]" >&2
  echo "families: $allFamilies" >&2
  exit 2
}
isNumber() { [[ $1 =~ ^[0-9]+$ ]] && (($1 > 0)); }
while (($#)); do
  case $1 in
    --fresh | --matrices-only) ;;
    *) (($# >= 2)) || usage ;;
  esac
  case $1 in
    --rows) rows=${2:-}; shift 2 ;;
    --identical) identical=${2:-}; shift 2 ;;
    --runs) runs=${2:-}; shift 2 ;;
    --families) families=${2:-}; shift 2 ;;
    --direct-rows) directRows=${2:-}; shift 2 ;;
    --direct-seconds) directSeconds=${2:-}; shift 2 ;;
    --ward) wardMode=${2:-}; shift 2 ;;
    --library) library=${2:-}; shift 2 ;;
    --fresh) fresh=1; shift ;;
    --matrices-only) matricesOnly=1; shift ;;
    *) usage ;;
  esac
done
[ -n "$identical" ] || identical=$((rows * 2 / 3))
for number in "$rows" "$identical" "$runs" "$directSeconds"; do isNumber "$number" || usage; done
[[ $directRows =~ ^[0-9]+$ ]] || usage
case $wardMode in auto | matrix | vector | none) ;; *) usage ;; esac
for family in $families; do
  [[ " $allFamilies " == *" $family "* ]] || { echo "bench/families.sh: unknown family $family" >&2; usage; }
done
[ -z "$library" ] || [ -f "$library" ] || { echo "bench/families.sh: no library $library" >&2; exit 1; }

for program in "$build/morvalen" "$build/bench/morvalen_direct" "$build/bench/make_matrix" \
               "$build/bench/morvalen_counts"; do
  [ -x "$program" ] || { echo "bench/families.sh: $program is missing: build first (Release; make_matrix needs libdivsufsort)" >&2; exit 1; }
done
for tool in tar timeout awk; do
  command -v "$tool" > /dev/null || { echo "bench/families.sh: $tool is missing" >&2; exit 1; }
done
if [ "$wardMode" != none ] && ! /usr/bin/python3 -c 'import fastcluster, numpy' 2> /dev/null; then
  echo "bench/families.sh: python3-fastcluster is missing under /usr/bin/python3: Ward is left out" >&2
  wardMode=none
fi

work=$build/bench-tmp/families
data=$work/data
mkdir -p "$data"
blockBytes=2048

# ---- the families' bytes ---------------------------------------------------

# The first $2 bytes of the files named (NUL-separated) on stdin, in order,
# into $1. Reading stops once enough came.
firstBytes() {
  local out=$1 bytes=$2
  (set +o pipefail; xargs -0 cat 2> /dev/null | head -c "$bytes" > "$out")
}

# The shared library to take $1 bytes from: the smallest of at least 95% of
# that size, so that the whole of one real library is taken where one is
# about that large; else none (the caller concatenates the largest).
pickLibrary() {
  local bytes=$1
  find /usr/lib -xdev -type f \( -name '*.so' -o -name '*.so.*' \) -printf '%s %p\n' 2> /dev/null |
    LC_ALL=C sort -n -k1,1 -k2 | awk -v want="$bytes" '$1 >= 0.95 * want {print $2; exit}'
}

# Shared libraries, largest first, one per size (hard links and copies of
# one file are taken once).
largestLibraries() {
  find /usr/lib -xdev -type f \( -name '*.so' -o -name '*.so.*' \) -printf '%s %p\n' 2> /dev/null |
    LC_ALL=C sort -k1,1nr -k2 | awk '!seen[$1]++ {print $2}'
}

makeLibraryBytes() {
  local out=$1 bytes=$2 describe=$3
  local chosen=$library
  [ -n "$chosen" ] || chosen=$(pickLibrary "$bytes")
  if [ -n "$chosen" ]; then
    printf '%s\0' "$chosen" | firstBytes "$out" "$bytes"
    echo "raw shared library $chosen" > "$describe"
  else
    largestLibraries | tr '\n' '\0' | firstBytes "$out" "$bytes"
    echo "raw shared libraries of the machine, largest first, concatenated" > "$describe"
  fi
}

# A tar of documentation and headers, about half of each (the
# documentation holds compressed changelogs too), each in name order. A
# member takes at least its size and a 512-byte header; the headers make up
# what the documentation lacks.
makeArchiveBytes() {
  local out=$1 bytes=$2 describe=$3
  local list=$data/archive.list
  local budget=$((bytes / 2)) folder taken=0
  : > "$list"
  for folder in /usr/share/doc /usr/include; do
    if [ "$folder" = /usr/include ]; then budget=$((bytes - taken)); fi
    taken=0
    [ -d "$folder" ] || continue
    taken=$(find "$folder" -xdev -type f -readable -printf '%s %p\n' 2> /dev/null | LC_ALL=C sort -k2 |
      awk -v budget="$budget" -v list="$list" '
        sum < budget { sum += $1 + 512; print substr($0, index($0, " ") + 1) >> list }
        END { print sum + 0 }')
  done
  [ -s "$list" ] || { echo "no documentation or headers found" > "$describe"; : > "$out"; return; }
  (set +o pipefail
   tar --create --file=- --no-recursion --owner=0 --group=0 --numeric-owner --mtime=@0 \
       --verbatim-files-from --files-from="$list" 2> /dev/null | head -c "$bytes" > "$out")
  echo "tar of /usr/share/doc and /usr/include ($(wc -l < "$list") files)" > "$describe"
}

# Text files (as grep judges them) of the documentation, then headers.
makeTextBytes() {
  local out=$1 bytes=$2 describe=$3
  local folders=()
  for folder in /usr/share/doc /usr/share/common-licenses /usr/include; do [ -d "$folder" ] && folders+=("$folder"); done
  ((${#folders[@]})) || { echo "no text found" > "$describe"; : > "$out"; return; }
  (set +o pipefail
   for folder in "${folders[@]}"; do grep -rIlZ --exclude='*.gz' '' "$folder" 2> /dev/null | LC_ALL=C sort -z; done |
     firstBytes "$out" "$bytes")
  echo "raw text files of ${folders[*]}" > "$describe"
}

corpusMade=0
corpusMatrix() {
  local matrix=$data/corpus.frq
  if { ((fresh)) && ((!corpusMade)); } || [ ! -f "$matrix" ]; then
    [ -f "$corpus/calgary.tar.gz" ] && [ -f "$corpus/cantrbry.tar.gz" ] || return 1
    rm -rf "$work/corpus" && mkdir -p "$work/corpus/calgary" "$work/corpus/cantrbry"
    tar xzf "$corpus/calgary.tar.gz" -C "$work/corpus/calgary" || return 2
    tar xzf "$corpus/cantrbry.tar.gz" -C "$work/corpus/cantrbry" || return 2
    find "$work/corpus/calgary" "$work/corpus/cantrbry" -type f ! -name '.*' -print0 | LC_ALL=C sort -z |
      xargs -0 "$build/bench/make_matrix" corpus "$matrix.part" > /dev/null || return 2
    mv "$matrix.part" "$matrix" || return 2
    corpusMade=1
  fi
  echo "Calgary and Canterbury files, each BWT-transformed" > "$data/corpus.txt"
  echo "$matrix"
}

# The name under which a family's files at a size are kept: a library given
# with --library is part of it.
familyName() {
  local family=$1 size=$2
  case $family in
    corpus) echo corpus; return ;;  # one size
    library | library-bwt) [ -z "$library" ] || family+=-$(basename "$library" | tr -c 'A-Za-z0-9.\n' _) ;;
  esac
  echo "$family-$size"
}

# Makes the matrix of a family at a size (once, unless --fresh) and prints
# its path; its description goes beside it (.txt). Returns 1, with the reason
# in the description, when the machine lacks what the family needs, and 2
# when a tool failed. (It runs in a command substitution tested by the
# caller, where errexit does not act: every step checks its own status.)
familyMatrix() {
  local family=$1 size=$2
  local name
  name=$(familyName "$family" "$size")
  local matrix=$data/$name.frq describe=$data/$name.txt
  if [ "$family" = corpus ]; then
    local status=0
    corpusMatrix || status=$?
    ((status != 1)) || echo "no corpus at $corpus" > "$describe"
    return $status
  fi
  if ((!fresh)) && [ -f "$matrix" ] && [ -f "$describe" ]; then echo "$matrix"; return; fi
  rm -f "$matrix" "$describe"
  local bytes=$((size * blockBytes)) base source
  case $family in
    perturbed)
      source=$(familyMatrix corpus 0) || { local status=$?; cp "$data/corpus.txt" "$describe"; return $status; }
      "$build/bench/make_matrix" grow "$source" "$matrix" "$size" 1 > /dev/null || return 2
      echo "corpus rows, counts moved by -2..+2" > "$describe" ;;
    library | archive | text)
      "make${family^}Bytes" "$data/$name.bin" "$bytes" "$describe"
      [ -s "$data/$name.bin" ] || return 1
      "$build/bench/make_matrix" raw "$matrix" "$data/$name.bin" > /dev/null || return 2 ;;
    library-bwt | archive-bwt | text-bwt)
      base=${family%-bwt}
      base=$(familyName "$base" "$size")
      familyMatrix "${family%-bwt}" "$size" > /dev/null || { local status=$?; cp "$data/$base.txt" "$describe"; return $status; }
      "$build/bench/make_matrix" corpus "$matrix" "$data/$base.bin" > /dev/null || return 2
      echo "$(cat "$data/$base.txt"), BWT-transformed" > "$describe" ;;
    identical | copies)
      local status=0
      source=$(familyMatrix archive "$rows") || status=$?
      if ((status == 1)); then status=0; source=$(familyMatrix corpus 0) || status=$?; fi
      if ((status == 1)); then echo "no archive nor corpus to copy rows from" > "$describe"; fi
      ((status == 0)) || return $status
      if [ "$family" = identical ]; then
        "$build/bench/make_matrix" copies "$source" "$matrix" "$size" 1 0 1 > /dev/null || return 2
        echo "copies of one row of $(basename "$source")" > "$describe"
      else
        # A few hundred bases, about ten copies of each at small sizes.
        local bases=$((size / 10 < 300 ? size / 10 : 300))
        ((bases > 0)) || bases=1
        "$build/bench/make_matrix" copies "$source" "$matrix" "$size" "$bases" 8 1 > /dev/null || return 2
        echo "near copies (8 bytes overwritten) of $bases rows of $(basename "$source")" > "$describe"
      fi ;;
  esac
  echo "$matrix"
}

# ---- runs -------------------------------------------------------------------

# "WALL CPU": the wall and CPU seconds (user + system) of "$@" run in
# directory $1, stdout to $1/stdout; "timeout" when it was stopped after
# $directSeconds (only the transcription is). CPU time is what a busy
# machine disturbs least.
seconds() {
  local dir=$1; shift
  rm -rf "$dir" && mkdir -p "$dir"
  local status=0 TIMEFORMAT='%R %U %S'
  { time (cd "$dir" && "$@" > stdout 2> stderr); } 2> "$dir/time" || status=$?
  if ((status == 124)); then echo timeout; return; fi
  ((status == 0)) || { echo "bench/families.sh: $* failed in $dir (status $status): $(cat "$dir/stderr")" >&2; exit 1; }
  awk '{printf "%.3f %.3f", $1, $2 + $3}' "$dir/time"
}

# The smallest of the numbers on stdin.
smallest() { sort -g | head -1; }

# The smallest of field $1 of the lines of "$@".
bestOf() {
  local field=$1; shift
  printf '%s\n' "$@" | awk -v f="$field" '{print $f}' | smallest
}

matrixRows() { od -An -tu4 -j4 -N4 "$1" | tr -d ' '; }

sameOutputs() {
  local name
  for name in stdout morvalen.ord morvalen.frq; do cmp -s "$1/$name" "$2/$name" || return 1; done
}

summary=()
allSame=yes
echo "machine: $(lscpu | awk -F': *' '/^Model name/ {print $2}'), $(nproc) hardware threads; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "sizes: $rows rows ($identical identical); best of $runs runs; direct transcription up to $directRows rows and $directSeconds s"
for family in $families; do
  size=$rows
  [ "$family" != identical ] || size=$identical
  echo
  status=0
  matrix=$(familyMatrix "$family" "$size") || status=$?
  if ((status == 2)); then
    echo "bench/families.sh: the $family matrix could not be made" >&2
    exit 1
  fi
  if ((status != 0)); then
    echo "== $family: skipped: $(cat "$data/$(familyName "$family" "$size").txt" 2> /dev/null || echo "its matrix could not be made")"
    continue
  fi
  n=$(matrixRows "$matrix")
  describe=$(cat "${matrix%.frq}.txt")
  if ((matricesOnly)); then
    echo "== $family: $matrix ($n rows): $describe"
    continue
  fi
  ward=$wardMode
  [ "$ward" != auto ] || { ((n <= 30000)) && ward=matrix || ward=vector; }
  runDir=$work/run/$family
  fast=() fast1=() wardTimes=()
  for ((run = 1; run <= runs; run++)); do
    fast+=("$(seconds "$runDir/fast" env MORVALEN_THREADS=2 "$build/morvalen" "$matrix")")
    fast1+=("$(seconds "$runDir/fast1" env MORVALEN_THREADS=1 "$build/morvalen" "$matrix")")
    if [ "$ward" != none ]; then
      wardTimes+=("$(/usr/bin/python3 "$repo/bench/ward.py" "$matrix" "$ward" | awk '{print $2, $3}')")
    fi
  done
  direct=skipped
  if ((n <= directRows)); then
    direct=$(seconds "$runDir/direct" timeout "$directSeconds" "$build/bench/morvalen_direct" "$matrix")
  fi
  same=yes
  sameOutputs "$runDir/fast" "$runDir/fast1" || same="NO (2 threads and 1 thread differ)"
  if [ "$same" = yes ] && [ "$direct" != skipped ] && [ "$direct" != timeout ]; then
    sameOutputs "$runDir/fast" "$runDir/direct" || same="NO (morvalen and the transcription differ)"
  fi
  [ "$same" = yes ] || allSame=no
  counts=$("$build/bench/morvalen_counts" "$matrix" 2)

  times="fast $(bestOf 1 "${fast[@]}") $(bestOf 2 "${fast[@]}")"
  times+=" fast1 $(bestOf 1 "${fast1[@]}") $(bestOf 2 "${fast1[@]}")"
  case $direct in skipped | timeout) times+=" direct $direct -" ;; *) times+=" direct $direct" ;; esac
  if ((${#wardTimes[@]})); then
    times+=" ward $(bestOf 1 "${wardTimes[@]}") $(bestOf 2 "${wardTimes[@]}")"
  else
    times+=" ward - -"
  fi
  echo "== $family: $describe"
  echo "   $n rows x 256 columns; outputs identical (2 threads, 1 thread$([ "$direct" = skipped ] || [ "$direct" = timeout ] || echo ", transcription")): $same"
  awk -v kind="$ward" -v cap="$directSeconds" '{
    for (i = 1; i < NF; i += 3) { wall[$i] = $(i + 1); cpu[$i] = $(i + 2) }
    w = wall["ward"]
    printf "   %-28s %9s %9s %9s\n", "", "wall s", "cpu s", "of Ward"
    line("morvalen, 2 threads", "fast")
    line("morvalen, 1 thread", "fast1")
    if (wall["direct"] == "skipped") printf "   %-28s %9s\n", "morvalen_direct", "-"
    else if (wall["direct"] == "timeout") printf "   %-28s %9s\n", "morvalen_direct", "> " cap
    else line("morvalen_direct", "direct")
    if (w == "-") printf "   %-28s %9s\n", "fastcluster Ward", "-"
    else line("fastcluster Ward (" kind ")", "ward")
    printf "   2 threads: %.2fx one thread (wall)\n", wall["fast1"] / wall["fast"]
  }
  function line(name, key) {
    if (w == "-") printf "   %-28s %9.3f %9.3f\n", name, wall[key], cpu[key]
    else printf "   %-28s %9.3f %9.3f %9.2f\n", name, wall[key], cpu[key], wall[key] / w
  }' <<< "$times"
  awk -v n="$n" '{
    for (i = 1; i < NF; i += 2) v[$i] = $(i + 1)
    nn = n * n
    printf "   counters (core alone, 2 threads, %.3f s):\n", v["seconds"]
    printf "     lower bounds %12d  %5.2f n^2   ruled out by floors or envelopes alone %d (by the first refresh'"'"'s envelopes %d)\n", v["bounds"], v["bounds"] / nn, v["skipped"], v["ruled-out"]
    printf "     merge deltas %12d  %5.2f n^2   of them by neighbour updates %d\n", v["deltas"], v["deltas"] / nn, v["neighbour-deltas"]
    printf "     refreshes    %12d  from lists %d, rescans %d\n", v["refreshes"], v["from-lists"], v["rescans"]
  }' <<< "$counts"
  summary+=("$(awk -v name="$family" -v n="$n" -v same="${same%% *}" -v times="$times" '{
    for (i = 1; i < NF; i += 2) v[$i] = $(i + 1)
    split(times, t, " ")
    for (i = 1; i < length(t); i += 3) { wall[t[i]] = t[i + 1]; cpu[t[i]] = t[i + 2] }
    w = wall["ward"]
    ratio = w == "-" ? "-" : sprintf("%.2f", wall["fast"] / w)
    cpuRatio = w == "-" ? "-" : sprintf("%.2f", cpu["fast1"] / cpu["ward"])
    printf "%-12s %7d %9.3f %9.3f %9.3f %9s %8s %8s %6.2f %7.2f %7.2f %9.1f%% %s", name, n, wall["fast"], wall["fast1"],
           cpu["fast1"], w, ratio, cpuRatio, wall["fast1"] / wall["fast"], v["bounds"] / (n * n), v["deltas"] / (n * n),
           100 * v["from-lists"] / (v["refreshes"] ? v["refreshes"] : 1), same
  }' <<< "$counts")")
done

((matricesOnly)) && exit 0
echo
echo "summary: best of $runs, wall seconds unless marked cpu; 2t/ward compares wall times, 1t/ward the CPU"
echo "times of one thread and of Ward; bounds and deltas per n^2 and refreshes answered from lists on 2 threads"
printf '%-12s %7s %9s %9s %9s %9s %8s %8s %6s %7s %7s %10s %s\n' family rows 2-threads 1-thread "1t cpu" ward \
  "2t/ward" "1t/ward" "1t/2t" bounds deltas from-lists same
printf '%s\n' "${summary[@]}"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
[ "$allSame" = yes ] || { echo "bench/families.sh: outputs differ" >&2; exit 1; }

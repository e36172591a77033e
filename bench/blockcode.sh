#!/usr/bin/env bash
# Runs blockcode and the literal baseline (blockcode_direct) side by side on
# the same input, checks that both write identical outputs, and prints MB/s
# and the speed ratio.
#
# usage: bench/blockcode.sh [INPUT] [ROUNDS]
#   INPUT defaults to the Calgary and Canterbury files concatenated (from
#   ../shared/corpus, or $CORPUS), BWT-transformed when the bwt tool was built; set RAW=1 to
#   skip the transform. BUILD names the build folder (default build).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD:-$root/build}"
rounds="${2:-5}"
for program in blockcode blockcode_direct blockcode_direct_o2; do
  [ -x "$build/$program" ] || { echo "blockcode.sh: $build/$program is missing; build first" >&2; exit 1; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/fast" "$work/direct" "$work/direct_o2"

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
  if [ -z "${RAW:-}" ] && [ -x "$build/bwt" ]; then
    "$build/bwt" "$work/input" "$work/input.bwt" >/dev/null
    mv "$work/input.bwt" "$work/input"
    label="$label, BWT"
  fi
fi
for folder in fast direct direct_o2; do cp "$work/input" "$work/$folder/book1bwt."; done
bytes=$(stat -c %s "$work/input")

# Runs the three programs in turn, ROUNDS times each, and reports the best
# (least disturbed) CPU time (user + system) and wall time of each. The
# machine may be shared: CPU time is the steadier measure. The baseline is
# the literal transcription built twice: -O3 like the project (GCC vectorises
# its per-byte cumulative sum there) and -O2 (a scalar loop).
python3 - "$work" "$build" "$rounds" "$bytes" <<'PYTHON'
import resource, subprocess, sys, time
work, build, rounds, size = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
programs = [("blockcode", "fast"), ("blockcode_direct", "direct"), ("blockcode_direct_o2", "direct_o2")]
def run(folder, program):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([build + "/" + program], cwd=work + "/" + folder, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime), wall
best = {folder: [1e9, 1e9] for _, folder in programs}
for round in range(rounds):
    times = {}
    for program, folder in programs:
        times[folder] = run(folder, program)
        best[folder] = [min(best[folder][0], times[folder][0]), min(best[folder][1], times[folder][1])]
    print("round %d CPU s: blockcode %.3f, direct -O3 %.3f (ratio %.2f), direct -O2 %.3f (ratio %.2f)"
          % (round + 1, times["fast"][0], times["direct"][0], times["direct"][0] / times["fast"][0],
             times["direct_o2"][0], times["direct_o2"][0] / times["fast"][0]))
for index, name in ((0, "best CPU time: "), (1, "best wall time:")):
    fast, o3, o2 = best["fast"][index], best["direct"][index], best["direct_o2"][index]
    print("%s blockcode %6.1f MB/s, direct -O3 %6.1f MB/s (ratio %.2f), direct -O2 %6.1f MB/s (ratio %.2f)"
          % (name, size / fast / 1e6, size / o3 / 1e6, o3 / fast, size / o2 / 1e6, o2 / fast))
PYTHON

for folder in direct direct_o2; do
  cmp "$work/fast/book1bwt.bar" "$work/$folder/book1bwt.bar"
  cmp "$work/fast/book1bwt.frq" "$work/$folder/book1bwt.frq"
done
echo "input: $label, $bytes bytes; outputs identical"

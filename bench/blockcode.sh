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

# Runs both programs alternately, ROUNDS times each, and reports the best
# (least disturbed) CPU time (user + system) and wall time of each. The
# machine may be shared: CPU time is the steadier measure.
python3 - "$work" "$build" "$rounds" "$bytes" "$label" <<'PYTHON'
import resource, subprocess, sys, time
work, build, rounds, size, label = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
def run(folder, program):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([program], cwd=folder, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return cpu, wall
best = {"direct": [1e9, 1e9], "fast": [1e9, 1e9]}
for round in range(rounds):
    d = run(work + "/direct", build + "/blockcode_direct")
    f = run(work + "/fast", build + "/blockcode")
    for key, value in (("direct", d), ("fast", f)):
        best[key] = [min(best[key][0], value[0]), min(best[key][1], value[1])]
    print("round %d: CPU direct %.3fs blockcode %.3fs (ratio %.2f), wall %.3fs / %.3fs (ratio %.2f)"
          % (round + 1, d[0], f[0], d[0] / f[0], d[1], f[1], d[1] / f[1]))
with open(work + "/best", "w") as out:
    out.write("%f %f %f %f\n" % (best["direct"][0], best["fast"][0], best["direct"][1], best["fast"][1]))
PYTHON

cmp "$work/fast/book1bwt.bar" "$work/direct/book1bwt.bar"
cmp "$work/fast/book1bwt.frq" "$work/direct/book1bwt.frq"
echo "input: $label, $bytes bytes; outputs identical"
awk -v n="$bytes" '{
  printf "best CPU time:  direct %6.1f MB/s, blockcode %6.1f MB/s, ratio %.2f\n", n / $1 / 1e6, n / $2 / 1e6, $1 / $2
  printf "best wall time: direct %6.1f MB/s, blockcode %6.1f MB/s, ratio %.2f\n", n / $3 / 1e6, n / $4 / 1e6, $3 / $4
}' "$work/best"

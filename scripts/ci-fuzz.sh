#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, -DBUILD_FUZZERS=ON) into build-fuzz/,
# replays the committed regression inputs, then runs each harness for a
# bounded time on a corpus grown from the project's own seeds.
#
#   scripts/ci-fuzz.sh                        # 60 s per harness
#   FUZZ_SECONDS=900 scripts/ci-fuzz.sh       # longer local runs
#   scripts/ci-fuzz.sh matrix_loader_fuzz     # only the named harnesses
#
# JOBS harnesses run side by side (default 2). Findings (crash-*, leak-*,
# timeout-*, oom-* files) land in fuzz-out/<harness>/; each run's log and a
# summary line (executions, seconds, findings) in fuzz-out/. Exits nonzero
# when any harness finds something.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$PWD"
build="${FUZZ_BUILD_DIR:-$repo/build-fuzz}"
out="$repo/fuzz-out"
seconds="${FUZZ_SECONDS:-60}"
jobs="${JOBS:-2}"
python=/usr/bin/python3
[ -x "$python" ] || python=python3

cmake -S "$repo" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_FUZZERS=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$jobs"

harnesses=("$@")
if ((${#harnesses[@]} == 0)); then
  for program in "$build"/fuzz/*_fuzz; do harnesses+=("$(basename "$program")"); done
fi

rm -rf "$build/seeds"
"$python" "$repo/scripts/make_fuzz_seeds.py" "$build/seeds"
mkdir -p "$out"

# Every input that once broke a harness is replayed first.
for harness in "${harnesses[@]}"; do
  regressions="$repo/fuzz/regressions/$harness"
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    "$build/fuzz/$harness" -runs=0 "$regressions"/* >"$out/$harness.regressions.log" 2>&1 ||
      { tail -30 "$out/$harness.regressions.log"; echo "ci-fuzz: $harness fails a regression input" >&2; exit 1; }
  fi
done

fuzzOne() {
  local harness="$1"
  local corpus="$build/corpus/$harness" artifacts="$out/$harness"
  mkdir -p "$corpus" "$artifacts"
  [ -d "$build/seeds/$harness" ] && cp -n "$build/seeds/$harness"/* "$corpus"/ 2>/dev/null
  local status=0 start=$SECONDS
  "$build/fuzz/$harness" "$corpus" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
    -malloc_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    >"$out/$harness.log" 2>&1 || status=$?
  local runs findings
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$harness.log" | tail -1)"
  findings="$(find "$artifacts" -type f | wc -l)"
  echo "$harness: ${runs:-?} executions in $((SECONDS - start)) s, corpus $(ls "$corpus" | wc -l) inputs," \
    "$findings findings, status $status" | tee "$out/$harness.summary"
  return "$status"
}

failed=0
running=0
pids=()
for harness in "${harnesses[@]}"; do
  fuzzOne "$harness" &
  pids+=($!)
  running=$((running + 1))
  if ((running >= jobs)); then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
    running=$((running - 1))
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done

if ((failed)); then
  echo "ci-fuzz: a harness found a failure; see fuzz-out/" >&2
  grep -h -A30 -E '^==[0-9]+==ERROR|runtime error|fuzz property failed' "$out"/*.log | head -80 >&2 || true
  exit 1
fi
echo "ci-fuzz: no findings"

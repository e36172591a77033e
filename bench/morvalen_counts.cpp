// Runs the clustering core on a count matrix with the fast scans and prints
// one line: rows, passes, seconds of the passes, the kernel that ran (the
// automatic choice is timed at start-up), and what the scans did
// (lower bounds, pairs ruled out by floors, merge deltas evaluated and how
// many by the neighbour updates, tile lanes computed, stale entries refreshed and
// how they were answered). For the scaling runs of bench/morvalen.sh.
//
// Usage: morvalen_counts MATRIX [THREADS [KERNEL [TILES]]]  (KERNEL: portable, avx2,
// avx512, neon, automatic; TILES: automatic, always, never)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "clustering.h"
#include "engine.h"
#include "fileio.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: morvalen_counts MATRIX [THREADS [KERNEL [TILES]]]\n");
    return 2;
  }
  std::string error;
  uint8_t* buffer = readWholeFile(argv[1], &error);
  CountMatrix matrix;
  if (!buffer || !parseCountMatrix(buffer, lastReadLength, &matrix, &error)) {
    fprintf(stderr, "morvalen_counts: %s\n", error.c_str());
    return 1;
  }
  FastScanOptions options;
  if (argc > 2) options.threads = unsigned(strtoul(argv[2], nullptr, 10));
  if (argc > 3) {
    std::string kind = argv[3];
    for (KernelKind k : kKernelKinds)
      if (kind == kernelName(k)) options.kernel = k;
  }
  if (argc > 4) {
    std::string tiles = argv[4];
    options.tiles = tiles == "always" ? TileUse::always : tiles == "never" ? TileUse::never : TileUse::automatic;
  }
  ClusteringState state;
  FastEngine engine;
  auto start = std::chrono::steady_clock::now();
  if (!startClustering(state, matrix.counts, matrix.columns, matrix.rows, &error) ||
      !startFastScans(engine, state, options, &error) ||
      !runPasses(state, fastScans(engine), nullptr, nullptr, &error)) {
    fprintf(stderr, "morvalen_counts: %s\n", error.c_str());
    return 1;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const FastScanCounters& c = engine.counters;
  uint32_t passes = state.nonzeroRows > 1 ? state.nonzeroRows - 1 : 0;
  printf("rows %u passes %u seconds %.3f kernel %s tile-kernel %s bounds %llu skipped %llu ruled-out %llu deltas %llu neighbour-deltas %llu lanes %llu refreshes %llu from-lists %llu rescans %llu shared-rescans %llu helped-rounds %llu threads %u\n",
         matrix.rows, passes, seconds, kernelName(engine.kernels.kind), kernelName(engine.kernels.tileKind), (unsigned long long)c.bounds, (unsigned long long)c.skipped, (unsigned long long)c.ruledOut, (unsigned long long)c.deltas,
         (unsigned long long)c.neighbourDeltas, (unsigned long long)c.laneDeltas,
         (unsigned long long)c.refreshes, (unsigned long long)c.fromLists, (unsigned long long)c.rescans,
         (unsigned long long)c.sharedRescans, (unsigned long long)c.helpedRounds,
         engine.pool ? engine.pool->threadCount() : 0);
  return 0;
}

// morvalen's clustering on small arbitrary matrices (K <= 8, n < 100, counts
// small, negative or wrapping). Checks, besides the sanitizers:
// - every pass merges the pair of live clusters with the smallest merge
//   delta rounded to float (EM), at positions Ei < Ej < ys, and ys drops by
//   one per pass until one cluster is left (EM checked against every pair
//   for n <= 40);
// - the written order is the one the reported merges imply: the cluster at
//   Ei takes Ej's rows after its own and the last live cluster moves into Ej;
//   the rows of total 0 follow in descending row order;
// - built as fast_scans_fuzz (COMPARE_FAST_SCANS): the fast scans, with
//   every tile kernel the processor runs and on several threads, make
//   exactly the same passes (EM to the bit) and order. Setting them up costs
//   far more than a small clustering, so this is a harness of its own.
//
// Input: K (byte), n (byte), how counts are read (byte), then the counts.

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clustering.h"
#include "cost_model.h"
#include "engine.h"
#include "fuzz_support.h"

namespace {

int32_t readCount(FuzzReader& reader, uint8_t mode) {
  switch (mode % 4) {
    case 0: return reader.byte() % 16;                      // small
    case 1: return reader.byte() % 5 == 0 ? reader.byte() : 0;  // sparse
    case 2: return int32_t(int8_t(reader.byte()));          // negative too
    default: return int32_t(reader.u32());                  // any: totals wrap
  }
}

struct Replay {
  std::vector<std::vector<uint32_t>> clusters;  // rows of each live cluster, by position
  std::vector<PassReport> reports;
  bool checkSmallest = false;  // the O(n^3 K) check of EM, for small n only
};

// The smallest delta over all live pairs, rounded to float as the cache holds it.
double smallestDelta(const ClusteringState& state) {
  float best = kNoDelta;
  for (uint32_t i = 0; i < state.liveCount; i++)
    for (uint32_t j = i + 1; j < state.liveCount; j++) {
      float d = float(clusterMergeDelta(state, state.activeList[i], state.activeList[j]));
      if (d < best) best = d;
    }
  return double(best);
}

void checkPass(void* context, const PassReport& report, const ClusteringState& state) {
  Replay& replay = *static_cast<Replay*>(context);
  replay.reports.push_back(report);
  if (report.liveCount != replay.clusters.size()) fuzzFailure("ys is not the number of live clusters");
  if (report.first < 0 || report.second <= report.first || uint32_t(report.second) >= report.liveCount)
    fuzzFailure("Ei, Ej out of order or range");
  if (replay.checkSmallest && !(report.bestDelta == smallestDelta(state)))
    fuzzFailure("EM is not the smallest merge delta");
  auto& into = replay.clusters[size_t(report.first)];
  auto& from = replay.clusters[size_t(report.second)];
  into.insert(into.end(), from.begin(), from.end());
  from = replay.clusters.back();
  replay.clusters.pop_back();
}

void freeState(ClusteringState& state) {
  // The tool never frees these; a fuzzer running millions of inputs must.
  for (void* array : {static_cast<void*>(state.rowCost), static_cast<void*>(state.bestDelta),
                      static_cast<void*>(state.bestPartner), static_cast<void*>(state.activeList),
                      static_cast<void*>(state.rowTotal), static_cast<void*>(state.treeHandle),
                      static_cast<void*>(state.nodes)})
    free(array);
}

#ifdef COMPARE_FAST_SCANS
void recordPass(void* context, const PassReport& report, const ClusteringState&) {
  static_cast<std::vector<PassReport>*>(context)->push_back(report);
}

bool sameReports(const std::vector<PassReport>& a, const std::vector<PassReport>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (memcmp(&a[i].bestDelta, &b[i].bestDelta, sizeof(double)) != 0 || a[i].first != b[i].first ||
        a[i].second != b[i].second || a[i].liveCount != b[i].liveCount)
      return false;
  }
  return true;
}

// The fast scans with `kernel` on `threads` threads must make exactly the
// passes and the order of the direct ones.
void compareFastScans(const int32_t* original, uint32_t columns, uint32_t rows, KernelKind kernel,
                      unsigned threads, const Replay& direct, const uint32_t* directOrder) {
  if (!tileKernel(kernel)) return;  // not on this processor
  size_t cells = size_t(rows) * columns;
  int32_t* counts = static_cast<int32_t*>(malloc((cells + 1) * sizeof(int32_t)));
  if (cells) memcpy(counts, original, cells * sizeof(int32_t));
  ClusteringState state;
  FastEngine engine;
  std::string error;
  FastScanOptions options;
  options.threads = threads;
  options.kernel = kernel;
  options.tiles = TileUse::always;  // the tile kernel on every tile it suits
  std::vector<PassReport> reports;
  if (!startClustering(state, counts, columns, rows, &error) || !startFastScans(engine, state, options, &error))
    fuzzFailure("fast start-up failed");
  if (!runPasses(state, fastScans(engine), recordPass, &reports, &error)) fuzzFailure("a fast pass found no pair");
  if (!writeRowOrder(state, &error)) fuzzFailure("leaf walk failed after fast passes");
  if (!sameReports(reports, direct.reports)) fuzzFailure("fast passes differ from the direct ones");
  if (rows > 0 && memcmp(state.activeList, directOrder, rows * sizeof(uint32_t)) != 0)
    fuzzFailure("fast order differs from the direct one");
  freeState(state);
  free(counts);
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  FuzzReader reader{input, size};
  uint32_t columns = reader.byte() % 9;
  uint32_t rows = reader.byte() % 100;
  uint8_t mode = reader.byte();
  // Exactly n*K counts (one spare so that K = 0 still allocates).
  size_t cells = size_t(rows) * columns;
  int32_t* counts = static_cast<int32_t*>(malloc((cells + 1) * sizeof(int32_t)));
  for (size_t i = 0; i < cells; i++) counts[i] = readCount(reader, mode);
  std::vector<int32_t> original(counts, counts + cells);

  Replay replay;
  replay.checkSmallest = rows <= 40;
  std::vector<uint32_t> zeroRows;
  for (uint32_t r = 0; r < rows; r++) {
    if (rowSum(counts + size_t(r) * columns, columns) != 0) replay.clusters.push_back({r});
    else zeroRows.insert(zeroRows.begin(), r);
  }
  uint32_t nonzero = uint32_t(replay.clusters.size());

  ClusteringState state;
  std::string error;
  if (!startClustering(state, counts, columns, rows, &error)) fuzzFailure("start-up failed");
  if (state.nonzeroRows != nonzero) fuzzFailure("wrong number of nonzero rows");
  if (!runPasses(state, kDirectScans, checkPass, &replay, &error)) fuzzFailure("a pass found no pair");
  if (replay.reports.size() != (nonzero > 1 ? nonzero - 1 : 0)) fuzzFailure("wrong number of passes");
  if (!writeRowOrder(state, &error)) fuzzFailure("leaf walk failed");

  std::vector<uint32_t> expected;
  for (const auto& cluster : replay.clusters) expected.insert(expected.end(), cluster.begin(), cluster.end());
  expected.insert(expected.end(), zeroRows.begin(), zeroRows.end());
  if (rows > 0 && memcmp(expected.data(), state.activeList, rows * sizeof(uint32_t)) != 0)
    fuzzFailure("the order is not the one the merges imply");

#ifdef COMPARE_FAST_SCANS
  for (KernelKind kernel : kKernelKinds)
    compareFastScans(original.data(), columns, rows, kernel, 1, replay, state.activeList);
  compareFastScans(original.data(), columns, rows, KernelKind::automatic, 3, replay, state.activeList);
#endif

  freeState(state);
  free(counts);
  return 0;
}

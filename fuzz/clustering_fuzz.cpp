// morvalen's clustering on small arbitrary matrices (K <= 8, n < 40, counts
// small, negative or wrapping). Checks, besides the sanitizers:
// - every pass merges the pair of live clusters with the smallest merge
//   delta rounded to float (EM), at positions Ei < Ej < ys, and ys drops by
//   one per pass until one cluster is left;
// - the written order is the one the reported merges imply: the cluster at
//   Ei takes Ej's rows after its own and the last live cluster moves into Ej;
//   the rows of total 0 follow in descending row order.
//
// Input: K (byte), n (byte), how counts are read (byte), then the counts.

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clustering.h"
#include "cost_model.h"
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
  uint32_t passes = 0;
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
  if (report.liveCount != replay.clusters.size()) fuzzFailure("ys is not the number of live clusters");
  if (report.first < 0 || report.second <= report.first || uint32_t(report.second) >= report.liveCount)
    fuzzFailure("Ei, Ej out of order or range");
  double smallest = smallestDelta(state);
  if (!(report.bestDelta == smallest)) fuzzFailure("EM is not the smallest merge delta");
  auto& into = replay.clusters[size_t(report.first)];
  auto& from = replay.clusters[size_t(report.second)];
  into.insert(into.end(), from.begin(), from.end());
  from = replay.clusters.back();
  replay.clusters.pop_back();
  replay.passes++;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  FuzzReader reader{input, size};
  uint32_t columns = reader.byte() % 9;
  uint32_t rows = reader.byte() % 40;
  uint8_t mode = reader.byte();
  // Exactly n*K counts (one spare so that K = 0 still allocates).
  int32_t* counts = static_cast<int32_t*>(malloc((size_t(rows) * columns + 1) * sizeof(int32_t)));
  for (size_t i = 0; i < size_t(rows) * columns; i++) counts[i] = readCount(reader, mode);

  Replay replay;
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
  if (replay.passes != (nonzero > 1 ? nonzero - 1 : 0)) fuzzFailure("wrong number of passes");
  if (!writeRowOrder(state, &error)) fuzzFailure("leaf walk failed");

  std::vector<uint32_t> expected;
  for (const auto& cluster : replay.clusters) expected.insert(expected.end(), cluster.begin(), cluster.end());
  expected.insert(expected.end(), zeroRows.begin(), zeroRows.end());
  if (rows > 0 && memcmp(expected.data(), state.activeList, rows * sizeof(uint32_t)) != 0)
    fuzzFailure("the order is not the one the merges imply");
  // The tool never frees these; a fuzzer running millions of inputs must.
  for (void* array : {static_cast<void*>(state.rowCost), static_cast<void*>(state.bestDelta),
                      static_cast<void*>(state.bestPartner), static_cast<void*>(state.activeList),
                      static_cast<void*>(state.rowTotal), static_cast<void*>(state.treeHandle),
                      static_cast<void*>(state.nodes)})
    free(array);
  free(counts);
  return 0;
}

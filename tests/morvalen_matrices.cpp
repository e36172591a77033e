#include "morvalen_matrices.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "fileio.h"
#include "test_support.h"

std::vector<uint8_t> matrixFileBytes(const TestMatrix& matrix) {
  std::vector<uint8_t> bytes(8 + 4 * matrix.counts.size());
  storeU32LE(matrix.columns, &bytes[0]);
  storeU32LE(matrix.rows, &bytes[4]);
  for (size_t i = 0; i < matrix.counts.size(); i++) storeU32LE(uint32_t(matrix.counts[i]), &bytes[8 + 4 * i]);
  return bytes;
}

TestMatrix blockHistograms(const std::string& path) { return blockHistograms(readFileBytes(path)); }

TestMatrix blockHistograms(const std::vector<uint8_t>& data) {
  TestMatrix matrix;
  matrix.columns = 256;
  matrix.rows = uint32_t((data.size() + 2047) / 2048);
  matrix.counts.assign(size_t(matrix.rows) * 256, 0);
  for (size_t i = 0; i < data.size(); i++) matrix.counts[(i / 2048) * 256 + data[i]]++;
  return matrix;
}

std::string passLine(const PassReport& report) {
  char line[128];
  snprintf(line, sizeof line, "  EM = %14f, Ei = %3i, Ej = %3i   YS=%i\n", report.bestDelta, report.first,
           report.second, int(report.liveCount));
  return line;
}

// After the refresh every live entry but the last is valid: its partner is a
// later live position, its cached delta is the delta to that partner rounded
// to float, and no later cluster's rounded delta is smaller. Then EM is the
// smallest rounded delta over all pairs, Ei the earliest position reaching
// it, and the pair (Ei, Ej) reaches it.
static void checkPass(const PassReport& report, const ClusteringState& state) {
  uint32_t live = state.liveCount;
  float smallest = kNoDelta;
  int32_t earliest = -1;
  for (uint32_t i = 0; i + 1 < live; i++) {
    uint32_t r = state.activeList[i];
    uint32_t partner = state.bestPartner[r];
    ASSERT_GT(partner, i);
    ASSERT_LT(partner, live);
    ASSERT_EQ(state.bestDelta[r], float(clusterMergeDelta(state, r, state.activeList[partner])));
    for (uint32_t j = i + 1; j < live; j++) {
      float rounded = float(clusterMergeDelta(state, r, state.activeList[j]));
      ASSERT_LE(state.bestDelta[r], rounded) << "position " << i << " against " << j;
      if (rounded < smallest) {
        smallest = rounded;
        earliest = int32_t(i);
      }
    }
  }
  ASSERT_EQ(report.bestDelta, double(smallest));
  ASSERT_EQ(report.first, earliest);
}

struct RunContext {
  ClusteringRun* run;
  bool checkInvariants;
};

static void recordPass(void* context, const PassReport& report, const ClusteringState& state) {
  RunContext* run = static_cast<RunContext*>(context);
  run->run->passes.push_back(report);
  ASSERT_EQ(report.liveCount, state.liveCount);
  ASSERT_LT(report.first, report.second);
  uint32_t a = state.activeList[report.first];
  uint32_t b = state.activeList[report.second];
  ASSERT_EQ(float(clusterMergeDelta(state, a, b)), float(report.bestDelta)) << "the chosen pair reaches EM";
  if (run->checkInvariants) checkPass(report, state);
}

ClusteringRun clusterMatrix(const TestMatrix& matrix, bool checkInvariants) {
  // The merges sum rows in place, so the core gets a copy of its own; it is
  // never released, like every clustering buffer.
  int32_t* counts = new int32_t[matrix.counts.size() + 1];
  std::copy(matrix.counts.begin(), matrix.counts.end(), counts);
  ClusteringRun run;
  ClusteringState state;
  std::string error;
  EXPECT_TRUE(startClustering(state, counts, matrix.columns, matrix.rows, &error)) << error;
  RunContext context = {&run, checkInvariants};
  EXPECT_TRUE(runPasses(state, kDirectScans, recordPass, &context, &error)) << error;
  EXPECT_TRUE(writeRowOrder(state, &error)) << error;
  run.order.assign(state.activeList, state.activeList + matrix.rows);
  return run;
}

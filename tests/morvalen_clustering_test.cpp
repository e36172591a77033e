#include "clustering.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "morvalen_matrices.h"
#include "test_support.h"

static TestMatrix makeMatrix(uint32_t columns, const std::vector<std::vector<int32_t>>& rows) {
  TestMatrix matrix;
  matrix.columns = columns;
  matrix.rows = uint32_t(rows.size());
  for (const auto& row : rows) matrix.counts.insert(matrix.counts.end(), row.begin(), row.end());
  return matrix;
}

static std::vector<std::string> passLines(const ClusteringRun& run) {
  std::vector<std::string> lines;
  for (const PassReport& pass : run.passes) lines.push_back(passLine(pass));
  return lines;
}

static std::vector<std::pair<int, int>> mergedPositions(const ClusteringRun& run) {
  std::vector<std::pair<int, int>> pairs;
  for (const PassReport& pass : run.passes) pairs.push_back({pass.first, pass.second});
  return pairs;
}

// The order implied by the reported merges alone: the cluster at Ei takes
// the rows of the one at Ej after its own, the last live cluster moves into
// Ej; the rows of total 0 follow in descending row order.
static std::vector<uint32_t> orderFromMerges(const TestMatrix& matrix, const ClusteringRun& run) {
  std::vector<std::vector<uint32_t>> clusters;
  std::vector<uint32_t> zeroRows;
  for (uint32_t r = 0; r < matrix.rows; r++) {
    int64_t total = 0;
    for (uint32_t k = 0; k < matrix.columns; k++) total += matrix.counts[size_t(r) * matrix.columns + k];
    if (int32_t(uint32_t(uint64_t(total))) != 0) clusters.push_back({r});
    else zeroRows.insert(zeroRows.begin(), r);
  }
  for (const PassReport& pass : run.passes) {
    EXPECT_EQ(pass.liveCount, clusters.size());
    auto& into = clusters[size_t(pass.first)];
    auto& from = clusters[size_t(pass.second)];
    into.insert(into.end(), from.begin(), from.end());
    from = clusters.back();
    clusters.pop_back();
  }
  std::vector<uint32_t> order;
  for (const auto& cluster : clusters) order.insert(order.end(), cluster.begin(), cluster.end());
  order.insert(order.end(), zeroRows.begin(), zeroRows.end());
  return order;
}

TEST(MorvalenClustering, WorkedExample) {
  TestMatrix matrix = makeMatrix(2, {{10, 0}, {0, 10}, {10, 0}});
  ClusteringRun run = clusterMatrix(matrix, true);
  EXPECT_EQ(passLines(run), (std::vector<std::string>{"  EM =      -1.752583, Ei =   0, Ej =   2   YS=3\n",
                                                      "  EM =      15.137568, Ei =   0, Ej =   1   YS=2\n"}));
  EXPECT_EQ(run.order, (std::vector<uint32_t>{0, 2, 1}));
}

TEST(MorvalenClustering, TwoRowsMergeOnceWithTheFirstOnTheLeft) {
  ClusteringRun run = clusterMatrix(makeMatrix(3, {{0, 4, 1}, {7, 0, 0}}), true);
  ASSERT_EQ(run.passes.size(), 1u);
  EXPECT_EQ(mergedPositions(run), (std::vector<std::pair<int, int>>{{0, 1}}));
  EXPECT_EQ(run.passes[0].liveCount, 2u);
  EXPECT_EQ(run.order, (std::vector<uint32_t>{0, 1}));
}

TEST(MorvalenClustering, RoundedCacheLetsAnEqualDeltaReplaceTheEarlierPartner) {
  // Equal rows: the first pass keeps the earliest pair, but in the second
  // the neighbour update finds a delta equal to one that rounding to float
  // raised, and so the merge is with position 2, not 1.
  TestMatrix matrix = makeMatrix(2, {{5, 5}, {5, 5}, {5, 5}, {5, 5}});
  ClusteringRun run = clusterMatrix(matrix, true);
  EXPECT_EQ(mergedPositions(run), (std::vector<std::pair<int, int>>{{0, 1}, {0, 2}, {0, 1}}));
  EXPECT_EQ(run.order, orderFromMerges(matrix, run));
}

TEST(MorvalenClustering, RowsOfTotalZeroStayBehindInDescendingOrder) {
  // Row 3 sums to zero through a negative count; it counts as a zero row.
  TestMatrix matrix = makeMatrix(2, {{3, 1}, {0, 0}, {2, 2}, {4, -4}, {1, 5}, {0, 0}});
  ClusteringRun run = clusterMatrix(matrix, true);
  EXPECT_EQ(run.passes.size(), 2u) << "three nonzero rows";
  EXPECT_EQ(run.passes[0].liveCount, 3u);
  ASSERT_EQ(run.order.size(), 6u);
  EXPECT_EQ(std::vector<uint32_t>(run.order.begin() + 3, run.order.end()), (std::vector<uint32_t>{5, 3, 1}));
  EXPECT_EQ(run.order, orderFromMerges(matrix, run));

  ClusteringRun middle = clusterMatrix(makeMatrix(1, {{2}, {0}, {3}, {9}}), true);
  EXPECT_EQ(middle.order.back(), 1u);
}

TEST(MorvalenClustering, FewerThanTwoNonzeroRowsRunNoPass) {
  ClusteringRun none = clusterMatrix(makeMatrix(2, {}), true);
  EXPECT_TRUE(none.passes.empty());
  EXPECT_TRUE(none.order.empty());

  ClusteringRun zeros = clusterMatrix(makeMatrix(2, {{0, 0}, {0, 0}, {0, 0}}), true);
  EXPECT_TRUE(zeros.passes.empty());
  EXPECT_EQ(zeros.order, (std::vector<uint32_t>{2, 1, 0}));

  ClusteringRun single = clusterMatrix(makeMatrix(2, {{0, 0}, {1, 0}, {0, 0}}), true);
  EXPECT_TRUE(single.passes.empty());
  EXPECT_EQ(single.order, (std::vector<uint32_t>{1, 2, 0}));

  TestMatrix noColumns;
  noColumns.rows = 4;
  ClusteringRun empty = clusterMatrix(noColumns, true);
  EXPECT_TRUE(empty.passes.empty());
  EXPECT_EQ(empty.order, (std::vector<uint32_t>{3, 2, 1, 0}));
}

TEST(MorvalenClustering, OneColumnMergesEverythingIntoTheFirstCluster) {
  // With K = 1 every delta is exactly 0: position 0 absorbs position 1 in
  // every pass, and the last cluster keeps moving into position 1.
  std::vector<std::vector<int32_t>> rows;
  for (int32_t r = 0; r < 40; r++) rows.push_back({r + 1});
  ClusteringRun run = clusterMatrix(makeMatrix(1, rows), true);
  ASSERT_EQ(run.passes.size(), 39u);
  for (const PassReport& pass : run.passes) {
    EXPECT_EQ(passLine(pass).substr(0, 41), "  EM =       0.000000, Ei =   0, Ej =   1");
  }
  std::vector<uint32_t> expected = {0, 1};
  for (uint32_t r = 39; r >= 2; r--) expected.push_back(r);
  EXPECT_EQ(run.order, expected);
}

TEST(MorvalenClustering, WrappingTotalsAreTakenAsTheyStand) {
  TestMatrix matrix = makeMatrix(2, {{INT32_MAX, 1}, {-5, 3}, {INT32_MIN, INT32_MIN}, {7, 7}, {INT32_MAX, INT32_MAX}});
  ClusteringRun run = clusterMatrix(matrix, true);
  EXPECT_EQ(run.order, orderFromMerges(matrix, run));
}

// Small random matrices with many equal rows and small counts, so that equal
// deltas and float rounding decide many merges.
TEST(MorvalenClustering, RandomMatricesKeepTheCacheExact) {
  std::mt19937 random(20261208);
  for (int trial = 0; trial < 60; trial++) {
    uint32_t columns = 1 + random() % 6;
    uint32_t rowCount = random() % 40;
    std::vector<std::vector<int32_t>> rows;
    for (uint32_t r = 0; r < rowCount; r++) {
      if (!rows.empty() && random() % 3 == 0) {
        rows.push_back(rows[random() % rows.size()]);
        continue;
      }
      std::vector<int32_t> row(columns);
      for (int32_t& count : row) count = int32_t(random() % 4) * int32_t(random() % 3);
      rows.push_back(row);
    }
    TestMatrix matrix = makeMatrix(columns, rows);
    ClusteringRun run = clusterMatrix(matrix, true);
    EXPECT_EQ(run.order, orderFromMerges(matrix, run)) << "trial " << trial;
    if (HasFatalFailure()) return;
  }
}

// Every pass of a run on block histograms: the pass count and the order
// from the merges; the all-pairs check is cubic in the rows, so the larger
// matrices get the per-pass check of the chosen pair and the order only.
static void expectSoundRun(const TestMatrix& matrix, const std::string& name) {
  ClusteringRun run = clusterMatrix(matrix, matrix.rows <= 80);
  EXPECT_EQ(run.passes.size(), matrix.rows > 0 ? matrix.rows - 1 : 0) << name;
  EXPECT_EQ(run.order, orderFromMerges(matrix, run)) << name;
}

TEST(MorvalenClustering, BlockHistogramsOfGeneratedFiles) {
  for (const GeneratedFile& file : generatedFiles()) {
    expectSoundRun(blockHistograms(file.bytes), file.name);
    if (HasFatalFailure()) return;
  }
}

TEST(MorvalenClustering, BlockHistogramsOfRealFiles) {
  const std::vector<std::string>& files = corpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus beside the project (../shared/corpus)";
  for (const std::string& file : files) {
    expectSoundRun(blockHistograms(file), file);
    if (HasFatalFailure()) return;
  }
}

// The lower bounds on merge deltas: never above the delta mergeDelta
// computes, on any kind of cluster, from every kernel; and close to it where
// the clusters share no column group, so a bound that prunes nothing would
// fail too.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cost_model.h"
#include "bounds.h"
#include "kernels.h"

namespace {

struct Clusters {
  uint32_t columns = 0;
  uint32_t rows = 0;
  std::vector<int32_t> counts;
};

// Rows summed in random groups, like the clusters of a run: a few columns
// each at first, wider and larger once summed.
Clusters mergedRows(uint32_t rows, uint32_t columns, int32_t maxCount, uint32_t maxMembers, uint32_t seed) {
  std::mt19937 random(seed);
  Clusters c{columns, rows, std::vector<int32_t>(size_t(rows) * columns, 0)};
  for (uint32_t r = 0; r < rows; r++) {
    uint32_t members = 1 + random() % maxMembers;
    for (uint32_t m = 0; m < members; m++) {
      uint32_t pattern = random() % 5;
      for (uint32_t k = 0; k < columns; k++)
        if ((k * 7 + pattern * 3) % 5 == 0 || random() % 13 == 0)
          c.counts[size_t(r) * columns + k] += int32_t(random() % uint32_t(maxCount + 1));
    }
  }
  return c;
}

struct Fixture {
  const Clusters& c;
  LnFactorialTable table;
  std::vector<int32_t> totals;
  std::vector<float> costs;
  std::vector<BoundCluster> described;
  BoundTiles tiles;
  std::vector<uint8_t> groupOf;
  double constant;

  explicit Fixture(const Clusters& clusters, uint32_t groupCount = kBoundGroups)
      : c(clusters), constant(constantTerm(clusters.columns)) {
    fillLnFactorialTable(table, 1 << 15);
    uint32_t tileCount = (c.rows + kLanes - 1) / kLanes;
    groupOf = chooseBoundGroups(c.counts.data(), c.columns, c.rows, groupCount);
    EXPECT_TRUE(allocateBoundTiles(tiles, tileCount));
    for (uint32_t r = 0; r < c.rows; r++) {
      totals.push_back(rowSum(row(r), c.columns));
      costs.push_back(rowCost(row(r), c.columns, totals[r], constant));
      BoundCluster b;
      describeCluster(table, groupOf.data(), row(r), c.columns, totals[r], costs[r], &b);
      described.push_back(b);
      storeBoundLane(tiles, r, &b);
    }
  }
  const int32_t* row(uint32_t r) const { return c.counts.data() + size_t(r) * c.columns; }
  double delta(uint32_t a, uint32_t b) const {
    return mergeDelta(row(a), row(b), c.columns, totals[a], totals[b], costs[a], costs[b], constant);
  }
};

// Every bound of every pair (from every kernel, and the plain function),
// with `groupCount` groups, is at most the delta.
void expectBoundsHoldWith(const Clusters& c, const char* what, uint32_t groupCount) {
  Fixture f(c, groupCount);
  BoundContext context = boundContext(f.tiles, c.columns, f.constant);
  for (KernelKind kind : kKernelKinds) {
    BoundKernel kernel = boundKernel(kind);
    for (uint32_t a = 0; a < c.rows; a++) {
      for (uint32_t tile = 0; tile * kLanes < c.rows; tile++) {
        double out[kLanes], some[kLanes];
        kernel(context, f.described[a], tile, kAllLanes, out);
        // Asked for some lanes only, a kernel gives those the same bounds.
        const uint32_t someLanes = 0x81F0u;
        kernel(context, f.described[a], tile, someLanes, some);
        for (uint32_t lane = 0; lane < kLanes; lane++) {
          if (someLanes >> lane & 1) {
            ASSERT_EQ(std::memcmp(&some[lane], &out[lane], sizeof(double)), 0) << what;
          }
        }
        for (uint32_t lane = 0; lane < kLanes && tile * kLanes + lane < c.rows; lane++) {
          uint32_t b = tile * kLanes + lane;
          if (f.totals[a] == 0 || f.totals[b] == 0) continue;
          double d = f.delta(a, b);
          double plain = pairBound(context, f.described[a], f.described[b]);
          ASSERT_LE(out[lane], d) << what << ", rows " << a << " and " << b;
          ASSERT_LE(plain, d) << what << ", rows " << a << " and " << b;
          // The kernels differ by less than their margins, which scale with
          // the magnitude of the terms, (x + 1)(ln x + 2).
          double x = double(f.totals[a]) + f.totals[b] + c.columns - 1;
          if (std::isfinite(plain) && std::isfinite(out[lane])) {
            ASSERT_NEAR(out[lane], plain, 4e-5 * (x + 1) * (std::log(x) + 2)) << what;
          }
        }
      }
    }
  }
}

// With the kernels' groups, and with a coarser partition (any partition
// keeps the bound valid, and a coarser one leaves later groups at 0).
void expectBoundsHold(const Clusters& c, const char* what) {
  for (uint32_t groupCount : {32u, kBoundGroups}) expectBoundsHoldWith(c, what, groupCount);
}

TEST(MorvalenDeltaBounds, LogarithmWithinItsErrorBound) {
  std::mt19937_64 random(1);
  auto check = [](double s) { ASSERT_NEAR(boundLogarithm(s), std::log(s), 2e-13) << s; };
  for (int s = 1; s < 70000; s++) check(s);
  for (int e = 0; e < 63; e++) {
    double p = std::ldexp(1.0, e);
    for (double s : {p, p + 1, p - 1, p * (1 + 1.0 / 16), p * (1 + 15.0 / 16)})
      if (s >= 1) check(s);
  }
  for (int i = 0; i < 200000; i++) check(1 + double(random() >> 11) / 4096.0);
}

TEST(MorvalenDeltaBounds, NeverAboveTheDelta) {
  expectBoundsHold(mergedRows(120, 256, 40, 1, 1), "single rows");
  expectBoundsHold(mergedRows(100, 256, 300, 12, 2), "summed rows");
  expectBoundsHold(mergedRows(60, 256, 200000, 4, 3), "counts far beyond the table");
  expectBoundsHold(mergedRows(50, 1, 50, 3, 4), "K = 1");
  expectBoundsHold(mergedRows(50, 3, 50, 3, 5), "K = 3");
  expectBoundsHold(mergedRows(40, 300, 30, 5, 6), "K = 300");
  expectBoundsHold(mergedRows(40, 20, 2, 1, 7), "counts of 0, 1 and 2");
  // Identical rows: the bound must stay below a delta made of ties.
  Clusters same{2, 40, {}};
  for (uint32_t r = 0; r < 40; r++) same.counts.insert(same.counts.end(), {5, 5});
  expectBoundsHold(same, "rows of (5, 5)");
  Clusters copies = mergedRows(3, 256, 60, 1, 8);
  for (uint32_t r = 0; r < 30; r++) copies.counts.insert(copies.counts.end(), copies.counts.begin(), copies.counts.begin() + 256);
  copies.rows += 30;
  expectBoundsHold(copies, "copies of one row");
}

TEST(MorvalenDeltaBounds, RuleNothingOutForNegativeOrWrappingCounts) {
  Clusters c = mergedRows(40, 16, 50, 2, 9);
  c.counts[3 * 16 + 2] = -4;           // a negative count
  c.counts[5 * 16 + 1] = 0x7FFFFFF0;   // a total that wraps
  c.counts[7 * 16 + 0] = 0x40000000;   // pairs whose totals overflow together
  c.counts[8 * 16 + 0] = 0x40000000;
  Fixture f(c);
  BoundContext context = boundContext(f.tiles, c.columns, f.constant);
  for (uint32_t b = 0; b < c.rows; b++) {
    if (b == 3 || b == 5) continue;
    EXPECT_EQ(pairBound(context, f.described[3], f.described[b]), -INFINITY);
    EXPECT_EQ(pairBound(context, f.described[5], f.described[b]), -INFINITY);
  }
  EXPECT_EQ(pairBound(context, f.described[7], f.described[8]), -INFINITY);
  expectBoundsHold(c, "negative and wrapping counts");

  // With K = 1, totals -3 and 3 give the delta's argument x = 0, whose
  // logarithm is -inf: the bound must be -inf, not NaN (which every test
  // would take for a bound that rules the pair out).
  Clusters zero{1, 3, {-3, 3, 5}};
  Fixture z(zero);
  BoundContext zeroContext = boundContext(z.tiles, 1, z.constant);
  for (KernelKind kind : kKernelKinds) {
    double out[kLanes];
    boundKernel(kind)(zeroContext, z.described[0], 0, kAllLanes, out);
    EXPECT_EQ(out[1], -INFINITY) << kernelName(kind);
    EXPECT_EQ(out[2], -INFINITY) << kernelName(kind);
  }
}

// Clusters whose columns fall in different groups mix nothing: the bound
// then misses the delta only by its rounding margin.
TEST(MorvalenDeltaBounds, TightWhenTheGroupsAreDisjoint) {
  Clusters c{256, 2, std::vector<int32_t>(512, 0)};
  for (uint32_t k = 0; k < 16; k++) c.counts[k] = int32_t(3 + k * 5);
  for (uint32_t k = 128; k < 150; k++) c.counts[256 + k] = int32_t(1 + k % 7);
  Fixture f(c);
  BoundContext context = boundContext(f.tiles, c.columns, f.constant);
  double d = f.delta(0, 1);
  double bound = pairBound(context, f.described[0], f.described[1]);
  EXPECT_LE(bound, d);
  EXPECT_NEAR(bound, d, 1e-6 * std::fabs(d));
}

}  // namespace

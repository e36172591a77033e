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

// The byte histograms of `rows` blocks of `blockBytes` bytes, each block's
// bytes drawn from `weights` (one per byte value), then summed in random
// groups of up to maxMembers blocks: the clusters of raw data a run meets.
Clusters blockHistograms(uint32_t rows, const std::vector<double>& weights, uint32_t blockBytes,
                         uint32_t maxMembers, uint32_t seed) {
  std::mt19937 random(seed);
  std::discrete_distribution<uint32_t> byteValue(weights.begin(), weights.end());
  Clusters c{uint32_t(weights.size()), rows, std::vector<int32_t>(size_t(rows) * weights.size(), 0)};
  for (uint32_t r = 0; r < rows; r++) {
    uint32_t blocks = 1 + random() % maxMembers;
    for (uint32_t i = 0; i < blocks * blockBytes; i++) c.counts[size_t(r) * c.columns + byteValue(random)]++;
  }
  return c;
}

// Random-like blocks (compressed data): every byte value about as likely.
std::vector<double> uniformBytes() { return std::vector<double>(256, 1.0); }

// Text-like blocks: a few dozen printable values, Zipf-like, and now and
// then any other value.
std::vector<double> textBytes() {
  std::vector<double> w(256, 0.002);
  const char* letters = " etaoinshrdlcumwfgypbvkjxqz\n,.ETAOINSHRDLCUMWFGYPBVKJXQZ0123456789()";
  for (uint32_t i = 0; letters[i] != 0; i++) w[uint8_t(letters[i])] = 1.0 / (i + 1);
  return w;
}

// Machine-code-like blocks: zero and a few opcodes common, every value used.
std::vector<double> codeBytes() {
  std::vector<double> w(256);
  for (uint32_t k = 0; k < 256; k++) w[k] = 1.0 + 40.0 / (1 + (k * 37) % 61);
  w[0] = 300;
  w[0xFF] = 60;
  w[0x48] = 50;
  return w;
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

  explicit Fixture(const Clusters& clusters, uint32_t groupCount = kBoundGroups,
                   uint32_t correctionLevels = kCorrectionLevels)
      : c(clusters), constant(constantTerm(clusters.columns)) {
    fillLnFactorialTable(table, 1 << 15);
    uint32_t tileCount = (c.rows + kLanes - 1) / kLanes;
    groupOf = chooseBoundGroups(c.counts.data(), c.columns, c.rows, groupCount);
    EXPECT_TRUE(allocateBoundTiles(tiles, tileCount, groupCount));
    for (uint32_t r = 0; r < c.rows; r++) {
      totals.push_back(rowSum(row(r), c.columns));
      costs.push_back(rowCost(row(r), c.columns, totals[r], constant));
      BoundCluster b;
      describeCluster(table, groupOf.data(), row(r), c.columns, totals[r], costs[r], correctionLevels, &b);
      described.push_back(b);
      storeBoundLane(tiles, r, &b);
    }
  }
  const int32_t* row(uint32_t r) const { return c.counts.data() + size_t(r) * c.columns; }
  double delta(uint32_t a, uint32_t b) const {
    return mergeDelta(row(a), row(b), c.columns, totals[a], totals[b], costs[a], costs[b], constant);
  }
};

// The envelope bound of every tile of `f` against cluster a, from `kernel`.
void envelopeBounds(const Fixture& f, const TileEnvelopes& envelopes, const BoundContext& context,
                    BoundKernel kernel, uint32_t a, std::vector<double>& out) {
  uint32_t tileCount = (f.c.rows + kLanes - 1) / kLanes;
  out.assign(size_t(tileCount + kLanes - 1) / kLanes * kLanes, 0.0);
  for (uint32_t t = 0; t * kLanes < tileCount; t++) kernel(context, f.described[a], t, kAllLanes, &out[t * kLanes]);
  for (uint32_t t = 0; t < tileCount; t++)
    out[t] = envelopeBound(envelopes, f.described[a], t, double(f.c.columns) - 1, out[t]);
}

// Every bound of every pair (from every kernel, and the plain function),
// with `groupCount` groups, is at most the delta; so is the envelope bound
// of every tile for each of its clusters.
void expectBoundsHoldWith(const Clusters& c, const char* what, uint32_t groupCount, bool corrected) {
  Fixture f(c, groupCount, corrected ? kCorrectionLevels : 0);
  BoundContext context = boundContext(f.tiles, c.columns, f.constant);
  uint32_t tileCount = (c.rows + kLanes - 1) / kLanes;
  TileEnvelopes envelopes;
  ASSERT_TRUE(allocateTileEnvelopes(envelopes, tileCount, groupCount));
  for (uint32_t t = 0; t < tileCount; t++) {
    uint32_t live = c.rows - t * kLanes >= kLanes ? kAllLanes : (1u << (c.rows - t * kLanes)) - 1;
    storeTileEnvelope(envelopes, f.tiles, t, live);
  }
  BoundContext envelopeContext = boundContext(envelopes.lanes, c.columns, f.constant);
  std::vector<double> envelopeOut;
  for (KernelKind kind : kKernelKinds) {
    BoundKernel kernel = boundKernel(kind);
    for (uint32_t a = 0; a < c.rows; a++) {
      envelopeBounds(f, envelopes, envelopeContext, kernel, a, envelopeOut);
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
          ASSERT_LE(envelopeOut[tile], d) << what << ", envelope, rows " << a << " and " << b;
          ASSERT_LE(plain, d) << what << ", rows " << a << " and " << b;
          // The kernels differ by less than their margins, which scale with
          // the magnitude of the terms, (x + 1)(ln x + 2), and a logarithm
          // taken from above may lower a bound by 1.4e-4 per count more.
          double x = double(f.totals[a]) + f.totals[b] + c.columns - 1;
          if (std::isfinite(plain) && std::isfinite(out[lane])) {
            ASSERT_NEAR(out[lane], plain, 4e-5 * (x + 1) * (std::log(x) + 2) + 1.4e-4 * x) << what;
          }
        }
      }
    }
  }
}

// With the kernels' groups and the correction, and with a coarser
// partition (any partition keeps the bound valid, and a coarser one leaves
// later groups at 0) and none.
void expectBoundsHold(const Clusters& c, const char* what) {
  expectBoundsHoldWith(c, what, 32, false);
  expectBoundsHoldWith(c, what, kBoundGroups, true);
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

// Raw data: every column used, counts around the correction's thresholds
// and the table's edge, clusters up to the largest a delta allows.
TEST(MorvalenDeltaBounds, NeverAboveTheDeltaOnRawBlocks) {
  expectBoundsHold(blockHistograms(80, uniformBytes(), 2048, 1, 10), "random-like blocks");
  expectBoundsHold(blockHistograms(60, uniformBytes(), 2048, 40, 11), "clusters of random-like blocks");
  expectBoundsHold(blockHistograms(80, textBytes(), 2048, 1, 12), "text-like blocks");
  expectBoundsHold(blockHistograms(60, textBytes(), 2048, 30, 13), "clusters of text-like blocks");
  expectBoundsHold(blockHistograms(80, codeBytes(), 2048, 3, 14), "code-like blocks");
  // Every column at a count near a threshold 4^j or the table's size
  // (32768), so that pairs straddle both.
  Clusters edges{256, 48, {}};
  const int32_t near[] = {1, 2, 3, 4, 5, 15, 16, 17, 63, 64, 65, 16383, 16384, 16385, 32767, 32768, 32769};
  std::mt19937 random(15);
  for (uint32_t i = 0; i < edges.rows * edges.columns; i++) edges.counts.push_back(near[random() % 17]);
  expectBoundsHold(edges, "counts at the thresholds and the table's edge");
  // Totals of 2^30 - 2^20 plus 0.5 to 1.5 million: pairs below 2^31 and
  // pairs beyond.
  Clusters huge = blockHistograms(40, codeBytes(), 64, 3, 16);
  for (uint32_t i = 0; i < huge.rows * huge.columns; i++) huge.counts[i] = huge.counts[i] * 7812 + (1 << 22) - 4096;
  expectBoundsHold(huge, "clusters of about 2^30 counts");
}

// With every column its own group the grouping loses nothing, and where
// the two counts of each shared column are equal and a threshold 4^j, the
// correction is exactly what the grouped bound leaves out: the bound then
// misses the delta by its margin alone, from every kernel. A weight too
// large would put the bound above the delta here.
TEST(MorvalenDeltaBounds, CorrectionTightForEqualCountsAtThresholds) {
  const uint32_t columns = 64;
  Clusters c{columns, 3, std::vector<int32_t>(3 * columns, 0)};
  for (uint32_t k = 0; k < columns; k++) {
    int32_t count = int32_t(1) << (2 * (k % kCorrectionLevels));
    c.counts[k] = count;
    c.counts[columns + k] = count;
    c.counts[2 * columns + k] = k % 2 == 0 ? count : 0;
  }
  Fixture f(c);
  BoundContext context = boundContext(f.tiles, columns, f.constant);
  for (uint32_t b : {1u, 2u}) {
    double d = f.delta(0, b);
    double x = double(f.totals[0]) + f.totals[b] + columns - 1;
    double magnitude = (x + 1) * (std::log(x) + 2);
    double plain = pairBound(context, f.described[0], f.described[b]);
    EXPECT_LE(plain, d);
    EXPECT_NEAR(plain, d, 1e-9 * magnitude) << "row " << b;
    for (KernelKind kind : kKernelKinds) {
      double out[kLanes];
      boundKernel(kind)(context, f.described[0], 0, kAllLanes, out);
      EXPECT_LE(out[b], d) << kernelName(kind);
      EXPECT_NEAR(out[b], d, 4e-5 * magnitude) << kernelName(kind);
    }
  }
}

// The correction is taken where the median row uses at least 3/16 of the
// columns (of the first 256).
TEST(MorvalenDeltaBounds, CorrectionTakenForRowsThatUseManyColumns) {
  EXPECT_TRUE(correctionPays(blockHistograms(31, textBytes(), 2048, 1, 17).counts.data(), 256, 31));
  EXPECT_TRUE(correctionPays(blockHistograms(31, uniformBytes(), 2048, 1, 18).counts.data(), 256, 31));
  std::vector<int32_t> rows(5 * 256, 0);
  for (uint32_t r = 0; r < 5; r++)
    for (uint32_t k = 0; k < (r < 3 ? 47u : 200u); k++) rows[r * 256 + (k * 5 + r) % 256] = 3;
  EXPECT_FALSE(correctionPays(rows.data(), 256, 5));  // three rows of 47 columns
  rows[2 * 256 + (47 * 5 + 2) % 256] = 1;
  EXPECT_TRUE(correctionPays(rows.data(), 256, 5));   // one of them now at 48
  // Beyond the first 256 columns nothing counts; with fewer, 3/16 of them.
  std::vector<int32_t> wide(2 * 600, 0);
  for (uint32_t k = 300; k < 600; k++) wide[k] = wide[600 + k] = 1;
  EXPECT_FALSE(correctionPays(wide.data(), 600, 2));
  EXPECT_TRUE(correctionPays(std::vector<int32_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 9}.data(), 16, 1));
  EXPECT_FALSE(correctionPays(std::vector<int32_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 9}.data(), 16, 1));
  EXPECT_FALSE(correctionPays(nullptr, 16, 0));
}

// All the groups where the median row has a count in half the columns or
// more, half of them where it spreads its counts over ten columns or more
// (by T^2 / sum c^2), 3/8 of them otherwise; all of them with as few
// columns as groups.
TEST(MorvalenDeltaBounds, GroupsFollowHowTheRowsSpreadTheirCounts) {
  EXPECT_EQ(boundGroupCount(blockHistograms(31, codeBytes(), 2048, 1, 19).counts.data(), 256, 31), kBoundGroups);
  // Text whose letters fill a few dozen columns, and blocks with most of
  // their bytes in one column (as through a BWT).
  std::vector<double> letters = textBytes();
  for (double& w : letters) w = w < 0.01 ? 0.0 : w;
  EXPECT_EQ(boundGroupCount(blockHistograms(31, letters, 2048, 1, 20).counts.data(), 256, 31), kBoundGroups / 2);
  std::vector<double> concentrated(256, 0.0);
  concentrated[0] = 2000.0;
  for (uint32_t k = 1; k < 40; k++) concentrated[k * 5] = 10.0;
  EXPECT_EQ(boundGroupCount(blockHistograms(31, concentrated, 2048, 1, 21).counts.data(), 256, 31),
            kBoundGroups / 8 * 3);
  // Three rows of 128, 127 and 128 columns with a count: the median has half.
  std::vector<int32_t> rows(3 * 256, 0);
  for (uint32_t r = 0; r < 3; r++)
    for (uint32_t k = 0; k < (r == 1 ? 127u : 128u); k++) rows[r * 256 + (k * 3 + r) % 256] = 1;
  EXPECT_EQ(boundGroupCount(rows.data(), 256, 3), kBoundGroups);
  rows[(127 * 3) % 256] = 0;  // the first row down to 127 too
  EXPECT_EQ(boundGroupCount(rows.data(), 256, 3), kBoundGroups / 2);
  // Ten equal counts fill ten columns exactly; one count larger fills fewer.
  // A negative count counts as none.
  std::vector<int32_t> ten(256, 0);
  for (uint32_t k = 0; k < 10; k++) ten[k * 20] = 3;
  ten[7] = -50;
  EXPECT_EQ(boundGroupCount(ten.data(), 256, 1), kBoundGroups / 2);
  ten[0] = 4;
  EXPECT_EQ(boundGroupCount(ten.data(), 256, 1), kBoundGroups / 8 * 3);
  std::vector<int32_t> narrow(kBoundGroups, 0);
  narrow[5] = 1;
  EXPECT_EQ(boundGroupCount(narrow.data(), kBoundGroups, 1), kBoundGroups);
  EXPECT_EQ(boundGroupCount(nullptr, 256, 0), kBoundGroups / 8 * 3);
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

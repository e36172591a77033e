#include "bounds.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>


namespace {

constexpr double kMarginScale = 1e-12;
constexpr double kFloatMarginScale = 2e-5;
constexpr double kLargestArgument = 2147483647.0;  // x beyond this wrapped in the delta
constexpr double kLn2 = 0.69314718055994530942;
constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();

// ln m for m in [1, 2) is ln(m r_i) - ln r_i, with i the top 4 bits of m's
// fraction and r_i = 1 / (1 + (i + 0.5) / 16): then |m r_i - 1| <= 1/32.9,
// and 7 terms of the series of ln(1 + u) leave less than |u|^8 / 8 / (1 - |u|)
// < 1.1e-13. The other roundings (m r_i, the series, e ln 2 and the sums) add
// below 1e-14 for s < 2^64.
struct LogTable {
  double reciprocal[16];
  double minusLog[16];  // -ln reciprocal[i], from libm
};

LogTable makeLogTable() {
  LogTable t;
  for (int i = 0; i < 16; i++) {
    t.reciprocal[i] = 32.0 / double(33 + 2 * i);
    t.minusLog[i] = -std::log(t.reciprocal[i]);
  }
  return t;
}


// u - u^2/2 + ... + u^7/7, by Horner's rule.
inline double logSeries(double u) {
  double p = 1.0 / 7;
  p = p * u - 1.0 / 6;
  p = p * u + 1.0 / 5;
  p = p * u - 1.0 / 4;
  p = p * u + 1.0 / 3;
  p = p * u - 1.0 / 2;
  p = p * u + 1.0;
  return p * u;
}

}  // namespace

// The exponent and the top 4 fraction bits are read off the bits of s, which
// is normal (s >= 1): the same m, exponent and i as frexp would give.
double boundLogarithm(double s) {
  uint64_t bits;
  std::memcpy(&bits, &s, sizeof bits);
  int exponent = int(bits >> 52) - 1023;  // s = m 2^exponent, 1 <= m < 2
  uint64_t mantissaBits = (bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull;
  double m;
  std::memcpy(&m, &mantissaBits, sizeof m);
  uint32_t i = uint32_t(bits >> 48) & 15;
  // A constant of the program, computed once, by whichever thread comes
  // first (C++ makes that safe); nothing of a run is kept in it.
  static const LogTable t = makeLogTable();
  double u = m * t.reciprocal[i] - 1;
  return double(exponent) * kLn2 + (t.minusLog[i] + logSeries(u));
}

// s ln s, 0 for s = 0 (group sums are integers, so s > 0 means s >= 1).
static inline double phi(double s) { return s > 0 ? s * boundLogarithm(s) : 0.0; }

// The float logarithm's tables (kernel_types.h): with 2^bits entries, i the
// top bits of the fraction and r_i = 1 / (1 + (i + 0.5) / 2^bits), |m r_i - 1|
// is at most 1/17 (8 entries) or 1/64.9 (32 entries).
static void fillBoundLogTables(BoundLogTables& t) {
  for (int i = 0; i < 8; i++) {
    t.reciprocal8[i] = float(16.0 / double(17 + 2 * i));
    t.minusLog8[i] = float(-std::log(double(t.reciprocal8[i])));
  }
  for (int i = 0; i < 32; i++) {
    t.reciprocal32[i] = float(64.0 / double(65 + 2 * i));
    t.minusLog32[i] = float(-std::log(double(t.reciprocal32[i])));
  }
}

BoundContext boundContext(const BoundTiles& tiles, uint32_t columns, double constant) {
  BoundContext context;
  context.groups = tiles.groups;
  context.groupSums = tiles.groupSums.data();
  context.totals = tiles.totals.data();
  context.offsets = tiles.offsets.data();
  context.groupSumsFloat = tiles.groupSumsFloat.data();
  context.totalsFloat = tiles.totalsFloat.data();
  context.groupPhisFloat = tiles.groupPhisFloat.data();
  context.ownTerms = tiles.ownTerms.data();
  context.levelMasks = tiles.levelMasks.data();
  fillBoundLogTables(context.logTables);
  context.constant = constant;
  context.columnsLess1 = double(columns) - 1;
  context.marginScale = kMarginScale * (double(columns) + kBoundGroups + 64);
  context.floatMarginScale = context.marginScale + kFloatMarginScale;
  // 1 + ln(1/2)/2 and ln(t_j / t_{j-1})/2, lowered by a relative 1e-12: far
  // more than the rounding of the logarithm and of the products and sums
  // that use them, so the computed correction stays below the real one.
  context.firstLevelWeight = (1 - 0.5 * kLn2) * (1 - 1e-12);
  context.levelWeight = 0.5 * kCorrectionStepBits * kLn2 * (1 - 1e-12);
  return context;
}

namespace {

// Rows whose medians choose the group count: enough for a close estimate,
// few enough to cost little beside the run.
constexpr uint32_t kGroupCountSample = 1024;

// The median of `values` (the upper one of an even count); reorders them.
template <typename T>
T medianOf(std::vector<T>& values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

}  // namespace

uint32_t boundGroupCount(const int32_t* counts, uint32_t columns, uint32_t rows) {
  if (columns <= kBoundGroups) return kBoundGroups;
  if (rows == 0) return kBoundGroups / 8 * 3;
  // Per row of an even sample: its columns with a count, and its effective
  // number of columns T^2 / sum_k c_k^2 (the columns of equal counts that
  // would give the same sum of squares), negative counts taken as 0.
  const uint32_t sampled = std::min(rows, kGroupCountSample);
  std::vector<uint32_t> used(sampled);
  std::vector<double> effective(sampled);
  for (uint32_t i = 0; i < sampled; i++) {
    const int32_t* row = counts + size_t(uint64_t(i) * rows / sampled) * columns;
    uint32_t nonzero = 0;
    double total = 0.0, squares = 0.0;
    for (uint32_t k = 0; k < columns; k++) {
      double c = double(std::max(row[k], 0));
      nonzero += row[k] > 0;
      total += c;
      squares += c * c;
    }
    used[i] = nonzero;
    effective[i] = squares > 0.0 ? total * total / squares : 0.0;
  }
  if (2 * uint64_t(medianOf(used)) >= columns) return kBoundGroups;
  return medianOf(effective) >= kSpreadRowColumns ? kBoundGroups / 2 : kBoundGroups / 8 * 3;
}

std::vector<uint8_t> chooseBoundGroups(const int32_t* counts, uint32_t columns, uint32_t rows, uint32_t groupCount) {
  std::vector<uint8_t> groupOf(columns);
  const uint32_t singleGroups = groupCount / 4 * 3;
  if (columns <= groupCount) {
    for (uint32_t k = 0; k < columns; k++) groupOf[k] = uint8_t(k);
    return groupOf;
  }
  std::vector<int64_t> totals(columns, 0);
  for (uint32_t r = 0; r < rows; r++)
    for (uint32_t k = 0; k < columns; k++) totals[k] += std::max(counts[size_t(r) * columns + k], 0);
  std::vector<uint32_t> order(columns);
  for (uint32_t k = 0; k < columns; k++) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) { return totals[x] > totals[y]; });
  std::vector<bool> single(columns, false);
  for (uint32_t i = 0; i < singleGroups; i++) {
    groupOf[order[i]] = uint8_t(i);
    single[order[i]] = true;
  }
  const uint32_t runs = groupCount - singleGroups, others = columns - singleGroups;
  for (uint32_t k = 0, rank = 0; k < columns; k++)
    if (!single[k]) groupOf[k] = uint8_t(singleGroups + uint64_t(rank++) * runs / others);
  return groupOf;
}

bool correctionPays(const int32_t* counts, uint32_t columns, uint32_t rows) {
  if (rows == 0) return false;
  const uint32_t covered = std::min(columns, 64 * kCorrectionWords);
  std::vector<uint32_t> used(rows, 0);
  for (uint32_t r = 0; r < rows; r++)
    for (uint32_t k = 0; k < covered; k++) used[r] += counts[size_t(r) * columns + k] > 0;
  std::nth_element(used.begin(), used.begin() + rows / 2, used.end());
  return uint64_t(used[rows / 2]) * 16 >= uint64_t(covered) * 3;
}

// The columns (among the first 64 kCorrectionWords) whose count reaches each
// threshold t_j = 2^(j kCorrectionStepBits), j < levels.
static void describeLevels(const int32_t* counts, uint32_t columns, uint32_t levels, BoundCluster* out) {
  for (uint32_t j = 0; j < kCorrectionLevels; j++)
    for (uint32_t w = 0; w < kCorrectionWords; w++) out->levelMasks[j][w] = 0;
  out->levelCount = 0;
  if (levels == 0) return;
  for (uint32_t k = 0; k < columns && k < 64 * kCorrectionWords; k++) {
    int32_t c = counts[k];
    uint32_t reached = 0;
    while (reached < levels && c >= int64_t(1) << (reached * kCorrectionStepBits)) {
      out->levelMasks[reached][k / 64] |= uint64_t(1) << (k % 64);
      reached++;
    }
    out->levelCount = std::max(out->levelCount, reached);
  }
}

void describeCluster(const LnFactorialTable& table, const uint8_t* groupOf, const int32_t* counts,
                     uint32_t columns, int32_t total, float cost, uint32_t correctionLevels, BoundCluster* out) {
  for (uint32_t g = 0; g < kBoundGroups; g++) out->groupSums[g] = 0.0;
  int64_t sum = 0;
  bool negative = false;
  double termSum = 0.0;
  for (uint32_t k = 0; k < columns; k++) {
    int32_t c = counts[k];
    negative |= c < 0;
    sum += c;
    out->groupSums[groupOf[k]] += double(c);
    termSum += tableLnFactorial(table, c);
  }
  for (uint32_t g = 0; g < kBoundGroups; g++) out->groupSumsFloat[g] = float(out->groupSums[g]);
  out->activeCount = 0;
  for (uint32_t g = 0; g < kBoundGroups; g++)
    if (out->groupSums[g] != 0) out->activeGroups[out->activeCount++] = uint8_t(g);
  out->nonzeroCount = out->activeCount;
  for (uint32_t g = 0; g < kBoundGroups && out->activeCount % 4 != 0; g++)
    if (out->groupSums[g] == 0) out->activeGroups[out->activeCount++] = uint8_t(g);
  out->total = double(sum);
  for (uint32_t g = 0; g < kBoundGroups; g++) out->groupPhisFloat[g] = 0.0f;
  describeLevels(counts, columns, correctionLevels, out);
  if (negative || sum != int64_t(total) || sum <= 0) {
    out->offset = std::numeric_limits<double>::infinity();
    out->ownTerms = std::numeric_limits<double>::infinity();
    return;
  }
  double groupTerms = 0.0;
  for (uint32_t g = 0; g < kBoundGroups; g++) {
    double term = phi(out->groupSums[g]);
    out->groupPhisFloat[g] = float(term);
    groupTerms += term;
  }
  out->ownTerms = double(cost) + termSum;
  out->offset = out->ownTerms - groupTerms;
}

bool allocateBoundTiles(BoundTiles& tiles, uint32_t tileCount, uint32_t groupCount) {
  size_t slots = size_t(tileCount) * kLanes;
  tiles.groups = groupCount;
  try {
    tiles.groupSums.assign(slots * groupCount, 0.0);
    tiles.totals.assign(slots, 0.0);
    tiles.offsets.assign(slots, std::numeric_limits<double>::infinity());
    tiles.groupSumsFloat.assign(slots * groupCount, 0.0f);
    tiles.totalsFloat.assign(slots, 0.0f);
    tiles.groupPhisFloat.assign(slots * groupCount, 0.0f);
    tiles.ownTerms.assign(slots, std::numeric_limits<double>::infinity());
    tiles.levelMasks.assign(slots * kCorrectionLevels * kCorrectionWords, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void storeBoundLane(BoundTiles& tiles, uint32_t slot, const BoundCluster* cluster) {
  uint32_t tile = slot / kLanes;
  uint32_t lane = slot % kLanes;
  double* sums = tiles.groupSums.data() + size_t(tile) * tiles.groups * kLanes + lane;
  float* sumsFloat = tiles.groupSumsFloat.data() + size_t(tile) * tiles.groups * kLanes + lane;
  float* phisFloat = tiles.groupPhisFloat.data() + size_t(tile) * tiles.groups * kLanes + lane;
  for (uint32_t g = 0; g < tiles.groups; g++) {
    sums[g * kLanes] = cluster ? cluster->groupSums[g] : 0.0;
    sumsFloat[g * kLanes] = float(sums[g * kLanes]);
    phisFloat[g * kLanes] = cluster ? cluster->groupPhisFloat[g] : 0.0f;
  }
  uint64_t* masks = tiles.levelMasks.data() + size_t(tile) * kCorrectionLevels * kCorrectionWords * kLanes + lane;
  for (uint32_t j = 0; j < kCorrectionLevels; j++)
    for (uint32_t w = 0; w < kCorrectionWords; w++)
      masks[(j * kCorrectionWords + w) * kLanes] = cluster ? cluster->levelMasks[j][w] : 0;
  tiles.ownTerms[slot] = cluster ? cluster->ownTerms : std::numeric_limits<double>::infinity();
  tiles.totals[slot] = cluster ? cluster->total : 0.0;
  tiles.totalsFloat[slot] = float(tiles.totals[slot]);
  tiles.offsets[slot] = cluster ? cluster->offset : std::numeric_limits<double>::infinity();
}

bool allocateTileEnvelopes(TileEnvelopes& envelopes, uint32_t tileCount, uint32_t groupCount) {
  uint32_t envelopeTiles = (tileCount + kLanes - 1) / kLanes;
  if (!allocateBoundTiles(envelopes.lanes, envelopeTiles, groupCount)) return false;
  try {
    envelopes.groupSumTotals.assign(size_t(envelopeTiles) * kLanes, 0.0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void storeTileEnvelope(TileEnvelopes& envelopes, const BoundTiles& tiles, uint32_t tile, uint32_t liveLanes) {
  if (liveLanes == 0) {
    storeBoundLane(envelopes.lanes, tile, nullptr);
    return;
  }
  BoundCluster made = {};
  double smallestTotal = std::numeric_limits<double>::infinity();
  double largestOwnTerms = -std::numeric_limits<double>::infinity();
  for (uint32_t bits = liveLanes; bits != 0; bits &= bits - 1) {
    size_t slot = size_t(tile) * kLanes + uint32_t(__builtin_ctz(bits));
    smallestTotal = std::min(smallestTotal, tiles.totals[slot]);
    largestOwnTerms = std::max(largestOwnTerms, tiles.ownTerms[slot]);
  }
  const double* sums = tiles.groupSums.data() + size_t(tile) * tiles.groups * kLanes;
  double groupTerms = 0.0, sumOfSums = 0.0;
  for (uint32_t g = 0; g < tiles.groups; g++) {
    double largest = 0.0;
    for (uint32_t bits = liveLanes; bits != 0; bits &= bits - 1)
      largest = std::max(largest, sums[g * kLanes + uint32_t(__builtin_ctz(bits))]);
    made.groupSums[g] = largest;
    double term = phi(largest);
    made.groupPhisFloat[g] = float(term);
    groupTerms += term;
    sumOfSums += largest;
  }
  made.total = smallestTotal;
  made.ownTerms = largestOwnTerms;
  made.offset = largestOwnTerms - groupTerms;
  storeBoundLane(envelopes.lanes, tile, &made);
  envelopes.groupSumTotals[tile] = sumOfSums;
}

double envelopeBound(const TileEnvelopes& envelopes, const BoundCluster& a, uint32_t tile, double columnsLess1,
                     double kernelBound) {
  double x = (a.total + envelopes.groupSumTotals[tile]) + columnsLess1;
  if (!(kernelBound > kMinusInfinity) || !(x >= 1 && x <= kLargestArgument)) return kMinusInfinity;
  int exponent = 0;
  std::frexp(x, &exponent);  // x < 2^exponent, so ln x < exponent ln 2
  return kernelBound - kFloatMarginScale * ((x + 1) * (double(exponent) * kLn2 + 2));
}

// The correction from a's level masks and b's (`stride` words apart).
static inline double correction(const BoundContext& context, const BoundCluster& a, const uint64_t* masksB,
                                size_t stride) {
  uint64_t first = 0, later = 0;
  for (uint32_t j = 0; j < a.levelCount; j++) {
    uint64_t common = 0;
    for (uint32_t w = 0; w < kCorrectionWords; w++)
      common += uint64_t(__builtin_popcountll(a.levelMasks[j][w] & masksB[(j * kCorrectionWords + w) * stride]));
    (j == 0 ? first : later) += common;
  }
  return context.firstLevelWeight * double(first) + context.levelWeight * double(later);
}

// The bound from the pair's parts, each logarithm taken by `ln`.
template <typename Ln>
static inline double boundFromParts(const BoundContext& context, const BoundCluster& a, double totalB,
                                    double offsetB, const double* groupSumsB, size_t stride,
                                    const uint64_t* masksB, size_t maskStride, Ln ln) {
  double x = (a.total + totalB) + context.columnsLess1;
  // Below 1 only with a negative total (whose offset rules the pair out
  // anyway); beyond kLargestArgument the delta's argument wrapped.
  if (!(x >= 1 && x <= kLargestArgument)) return kMinusInfinity;
  double lx = ln(x);
  double totalTerm = (1 - x) + (x + 0.5) * lx;
  double groupTerms = 0.0;
  for (uint32_t g = 0; g < context.groups; g++) {
    // A group 0 in both adds s ln 1 = +0.0, which changes no sum.
    double s = a.groupSums[g] + groupSumsB[g * stride];
    if (s != 0) groupTerms += s * ln(std::max(s, 1.0));
  }
  double margin = context.marginScale * ((x + 1) * (lx + 2));
  double bound = ((((totalTerm - context.constant) - a.offset) - offsetB) - groupTerms) - margin;
  if (a.levelCount != 0) bound = bound + correction(context, a, masksB, maskStride);
  // A NaN would pass for a bound that rules everything out; none should
  // arise, but -inf is the safe value for anything unexpected.
  return std::isnan(bound) ? kMinusInfinity : bound;
}

double pairBound(const BoundContext& context, const BoundCluster& a, const BoundCluster& b) {
  return boundFromParts(context, a, b.total, b.offset, b.groupSums, 1, &b.levelMasks[0][0], 1,
                        [](double s) { return std::log(s); });
}

void portableBoundKernel(const BoundContext& context, const BoundCluster& a, uint32_t tile, uint32_t lanes,
                         double* out) {
  const double* sums = context.groupSums + size_t(tile) * context.groups * kLanes;
  const uint64_t* masks = context.levelMasks + size_t(tile) * kCorrectionLevels * kCorrectionWords * kLanes;
  for (uint32_t lane = 0; lane < kLanes; lane++) {
    if ((lanes >> lane & 1) == 0) continue;
    size_t slot = size_t(tile) * kLanes + lane;
    out[lane] = boundFromParts(context, a, context.totals[slot], context.offsets[slot], sums + lane, kLanes,
                               masks + lane, kLanes, boundLogarithm);
  }
}

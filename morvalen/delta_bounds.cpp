#include "delta_bounds.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MORVALEN_X86_BOUNDS 1
#endif

namespace {

constexpr double kMarginScale = 1e-12;
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

const LogTable& logTable() {
  static const LogTable table = [] {
    LogTable t;
    for (int i = 0; i < 16; i++) {
      t.reciprocal[i] = 32.0 / double(33 + 2 * i);
      t.minusLog[i] = -std::log(t.reciprocal[i]);
    }
    return t;
  }();
  return table;
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

inline double phi(double s) { return s > 0 ? s * std::log(s) : 0.0; }

}  // namespace

double boundLogarithm(double s) {
  int exponent;
  double m = 2 * std::frexp(s, &exponent);  // s = m 2^(exponent - 1), 1 <= m < 2
  int i = int((m - 1) * 16);
  const LogTable& t = logTable();
  double u = m * t.reciprocal[i] - 1;
  return double(exponent - 1) * kLn2 + (t.minusLog[i] + logSeries(u));
}

BoundContext boundContext(const BoundTiles& tiles, uint32_t columns, double constant) {
  BoundContext context;
  context.tiles = &tiles;
  context.constant = constant;
  context.columnsLess1 = double(columns) - 1;
  context.marginScale = kMarginScale * (double(columns) + kBoundGroups + 64);
  return context;
}

std::vector<uint8_t> chooseBoundGroups(const int32_t* counts, uint32_t columns, uint32_t rows) {
  std::vector<uint8_t> groupOf(columns);
  if (columns <= kBoundGroups) {
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
  for (uint32_t i = 0; i < kSingleGroups; i++) {
    groupOf[order[i]] = uint8_t(i);
    single[order[i]] = true;
  }
  const uint32_t runs = kBoundGroups - kSingleGroups, others = columns - kSingleGroups;
  for (uint32_t k = 0, rank = 0; k < columns; k++)
    if (!single[k]) groupOf[k] = uint8_t(kSingleGroups + uint64_t(rank++) * runs / others);
  return groupOf;
}

void describeCluster(const LnFactorialTable& table, const uint8_t* groupOf, const int32_t* counts,
                     uint32_t columns, int32_t total, float cost, BoundCluster* out) {
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
  out->total = double(sum);
  if (negative || sum != int64_t(total) || sum <= 0) {
    out->offset = std::numeric_limits<double>::infinity();
    return;
  }
  double groupTerms = 0.0;
  for (uint32_t g = 0; g < kBoundGroups; g++) groupTerms += phi(out->groupSums[g]);
  out->offset = (double(cost) + termSum) - groupTerms;
}

bool allocateBoundTiles(BoundTiles& tiles, uint32_t tileCount) {
  size_t slots = size_t(tileCount) * kLanes;
  try {
    tiles.groupSums.assign(slots * kBoundGroups, 0.0);
    tiles.totals.assign(slots, 0.0);
    tiles.offsets.assign(slots, std::numeric_limits<double>::infinity());
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void storeBoundLane(BoundTiles& tiles, uint32_t slot, const BoundCluster* cluster) {
  uint32_t tile = slot / kLanes;
  uint32_t lane = slot % kLanes;
  double* sums = tiles.groupSums.data() + size_t(tile) * kBoundGroups * kLanes + lane;
  for (uint32_t g = 0; g < kBoundGroups; g++) sums[g * kLanes] = cluster ? cluster->groupSums[g] : 0.0;
  tiles.totals[slot] = cluster ? cluster->total : 0.0;
  tiles.offsets[slot] = cluster ? cluster->offset : std::numeric_limits<double>::infinity();
}

// The bound from the pair's parts, each logarithm taken by `ln`.
template <typename Ln>
static inline double boundFromParts(const BoundContext& context, const BoundCluster& a, double totalB,
                                    double offsetB, const double* groupSumsB, size_t stride, Ln ln) {
  double x = (a.total + totalB) + context.columnsLess1;
  if (!(x <= kLargestArgument)) return kMinusInfinity;
  double lx = ln(x);
  double totalTerm = (1 - x) + (x + 0.5) * lx;
  double groupTerms = 0.0;
  for (uint32_t g = 0; g < kBoundGroups; g++) {
    double s = a.groupSums[g] + groupSumsB[g * stride];
    groupTerms += s * ln(std::max(s, 1.0));
  }
  double margin = context.marginScale * ((x + 1) * (lx + 2));
  return ((((totalTerm - context.constant) - a.offset) - offsetB) - groupTerms) - margin;
}

double pairBound(const BoundContext& context, const BoundCluster& a, const BoundCluster& b) {
  return boundFromParts(context, a, b.total, b.offset, b.groupSums, 1, [](double s) { return std::log(s); });
}

static void portableBoundKernel(const BoundContext& context, const BoundCluster& a, uint32_t tile, double* out) {
  const BoundTiles& tiles = *context.tiles;
  const double* sums = tiles.groupSums.data() + size_t(tile) * kBoundGroups * kLanes;
  for (uint32_t lane = 0; lane < kLanes; lane++) {
    size_t slot = size_t(tile) * kLanes + lane;
    out[lane] = boundFromParts(context, a, tiles.totals[slot], tiles.offsets[slot], sums + lane, kLanes,
                               boundLogarithm);
  }
}

#if MORVALEN_X86_BOUNDS
// boundLogarithm on 8 lanes, s >= 1: the same steps, the table entries
// picked by a permutation instead of a load.
__attribute__((target("avx512f"))) static inline __m512d logarithm8(__m512d s, __m512d reciprocalLow,
                                                                    __m512d reciprocalHigh, __m512d minusLogLow,
                                                                    __m512d minusLogHigh) {
  // The masked forms, with every lane set, spare GCC's header an
  // uninitialised placeholder that it warns about.
  const __m512d zero = _mm512_setzero_pd();
  __m512d exponent = _mm512_mask_getexp_pd(zero, 0xFF, s);
  __m512d m = _mm512_mask_getmant_pd(zero, 0xFF, s, _MM_MANT_NORM_1_2, _MM_MANT_SIGN_zero);
  // Bits 48..51 of s are the top 4 bits of its fraction; the permutation
  // reads the low 4 bits of each index.
  __m512i index = _mm512_mask_srli_epi64(_mm512_setzero_si512(), 0xFF, _mm512_castpd_si512(s), 48);
  __m512d r = _mm512_permutex2var_pd(reciprocalLow, index, reciprocalHigh);
  __m512d minusLog = _mm512_permutex2var_pd(minusLogLow, index, minusLogHigh);
  __m512d u = _mm512_sub_pd(_mm512_mul_pd(m, r), _mm512_set1_pd(1.0));
  __m512d p = _mm512_set1_pd(1.0 / 7);
  p = _mm512_sub_pd(_mm512_mul_pd(p, u), _mm512_set1_pd(1.0 / 6));
  p = _mm512_add_pd(_mm512_mul_pd(p, u), _mm512_set1_pd(1.0 / 5));
  p = _mm512_sub_pd(_mm512_mul_pd(p, u), _mm512_set1_pd(1.0 / 4));
  p = _mm512_add_pd(_mm512_mul_pd(p, u), _mm512_set1_pd(1.0 / 3));
  p = _mm512_sub_pd(_mm512_mul_pd(p, u), _mm512_set1_pd(1.0 / 2));
  p = _mm512_add_pd(_mm512_mul_pd(p, u), _mm512_set1_pd(1.0));
  p = _mm512_mul_pd(p, u);
  return _mm512_add_pd(_mm512_mul_pd(exponent, _mm512_set1_pd(kLn2)), _mm512_add_pd(minusLog, p));
}

__attribute__((target("avx512f"))) static void avx512BoundKernel(const BoundContext& context,
                                                                 const BoundCluster& a, uint32_t tile,
                                                                 double* out) {
  const BoundTiles& tiles = *context.tiles;
  const LogTable& t = logTable();
  const __m512d reciprocalLow = _mm512_loadu_pd(t.reciprocal), reciprocalHigh = _mm512_loadu_pd(t.reciprocal + 8);
  const __m512d minusLogLow = _mm512_loadu_pd(t.minusLog), minusLogHigh = _mm512_loadu_pd(t.minusLog + 8);
  const __m512d one = _mm512_set1_pd(1.0);
  const double* sums = tiles.groupSums.data() + size_t(tile) * kBoundGroups * kLanes;
  for (uint32_t half = 0; half < kLanes; half += 8) {
    size_t slot = size_t(tile) * kLanes + half;
    __m512d x = _mm512_add_pd(_mm512_add_pd(_mm512_set1_pd(a.total), _mm512_loadu_pd(&tiles.totals[slot])),
                              _mm512_set1_pd(context.columnsLess1));
    __mmask8 wrapped = _mm512_cmp_pd_mask(x, _mm512_set1_pd(kLargestArgument), _CMP_NLE_UQ);
    // Lanes whose x is out of range are set to -inf below; keep their
    // logarithm finite meanwhile.
    __m512d safeX = _mm512_mask_blend_pd(wrapped, x, one);
    __m512d lx = logarithm8(safeX, reciprocalLow, reciprocalHigh, minusLogLow, minusLogHigh);
    __m512d totalTerm = _mm512_add_pd(_mm512_sub_pd(one, safeX), _mm512_mul_pd(_mm512_add_pd(safeX, _mm512_set1_pd(0.5)), lx));
    __m512d groupTerms = _mm512_setzero_pd();
    for (uint32_t g = 0; g < kBoundGroups; g++) {
      __m512d s = _mm512_add_pd(_mm512_set1_pd(a.groupSums[g]), _mm512_loadu_pd(sums + g * kLanes + half));
      __m512d ls = logarithm8(_mm512_mask_max_pd(one, 0xFF, s, one), reciprocalLow, reciprocalHigh, minusLogLow, minusLogHigh);
      groupTerms = _mm512_add_pd(groupTerms, _mm512_mul_pd(s, ls));
    }
    __m512d margin = _mm512_mul_pd(_mm512_set1_pd(context.marginScale),
                                   _mm512_mul_pd(_mm512_add_pd(safeX, one), _mm512_add_pd(lx, _mm512_set1_pd(2.0))));
    __m512d bound = _mm512_sub_pd(totalTerm, _mm512_set1_pd(context.constant));
    bound = _mm512_sub_pd(bound, _mm512_set1_pd(a.offset));
    bound = _mm512_sub_pd(bound, _mm512_loadu_pd(&tiles.offsets[slot]));
    bound = _mm512_sub_pd(_mm512_sub_pd(bound, groupTerms), margin);
    bound = _mm512_mask_blend_pd(wrapped, bound, _mm512_set1_pd(kMinusInfinity));
    _mm512_storeu_pd(out + half, bound);
  }
}
#endif

BoundKernel boundKernel(KernelKind kind) {
#if MORVALEN_X86_BOUNDS
  __builtin_cpu_init();
  bool hasAvx512 = __builtin_cpu_supports("avx512f");
  if ((kind == KernelKind::avx512 || kind == KernelKind::automatic) && hasAvx512) return avx512BoundKernel;
#else
  (void)kind;
#endif
  return portableBoundKernel;
}

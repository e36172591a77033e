#include "delta_bounds.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MORVALEN_X86_BOUNDS 1
#endif

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

// Built before main, so the kernels read it without a guard.
const LogTable kLogTable = makeLogTable();

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
  const LogTable& t = kLogTable;
  double u = m * t.reciprocal[i] - 1;
  return double(exponent) * kLn2 + (t.minusLog[i] + logSeries(u));
}

// s ln s, 0 for s = 0 (group sums are integers, so s > 0 means s >= 1).
static inline double phi(double s) { return s > 0 ? s * boundLogarithm(s) : 0.0; }

BoundContext boundContext(const BoundTiles& tiles, uint32_t columns, double constant) {
  BoundContext context;
  context.tiles = &tiles;
  context.constant = constant;
  context.columnsLess1 = double(columns) - 1;
  context.marginScale = kMarginScale * (double(columns) + kBoundGroups + 64);
  context.floatMarginScale = context.marginScale + kFloatMarginScale;
  return context;
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
  for (uint32_t g = 0; g < kBoundGroups; g++) out->groupSumsFloat[g] = float(out->groupSums[g]);
  out->activeCount = 0;
  for (uint32_t g = 0; g < kBoundGroups; g++)
    if (out->groupSums[g] != 0) out->activeGroups[out->activeCount++] = uint8_t(g);
  out->nonzeroCount = out->activeCount;
  for (uint32_t g = 0; g < kBoundGroups && out->activeCount % 4 != 0; g++)
    if (out->groupSums[g] == 0) out->activeGroups[out->activeCount++] = uint8_t(g);
  out->total = double(sum);
  for (uint32_t g = 0; g < kBoundGroups; g++) out->groupPhisFloat[g] = 0.0f;
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

bool allocateBoundTiles(BoundTiles& tiles, uint32_t tileCount) {
  size_t slots = size_t(tileCount) * kLanes;
  try {
    tiles.groupSums.assign(slots * kBoundGroups, 0.0);
    tiles.totals.assign(slots, 0.0);
    tiles.offsets.assign(slots, std::numeric_limits<double>::infinity());
    tiles.groupSumsFloat.assign(slots * kBoundGroups, 0.0f);
    tiles.totalsFloat.assign(slots, 0.0f);
    tiles.groupPhisFloat.assign(slots * kBoundGroups, 0.0f);
    tiles.ownTerms.assign(slots, std::numeric_limits<double>::infinity());
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void storeBoundLane(BoundTiles& tiles, uint32_t slot, const BoundCluster* cluster) {
  uint32_t tile = slot / kLanes;
  uint32_t lane = slot % kLanes;
  double* sums = tiles.groupSums.data() + size_t(tile) * kBoundGroups * kLanes + lane;
  float* sumsFloat = tiles.groupSumsFloat.data() + size_t(tile) * kBoundGroups * kLanes + lane;
  float* phisFloat = tiles.groupPhisFloat.data() + size_t(tile) * kBoundGroups * kLanes + lane;
  for (uint32_t g = 0; g < kBoundGroups; g++) {
    sums[g * kLanes] = cluster ? cluster->groupSums[g] : 0.0;
    sumsFloat[g * kLanes] = float(sums[g * kLanes]);
    phisFloat[g * kLanes] = cluster ? cluster->groupPhisFloat[g] : 0.0f;
  }
  tiles.ownTerms[slot] = cluster ? cluster->ownTerms : std::numeric_limits<double>::infinity();
  tiles.totals[slot] = cluster ? cluster->total : 0.0;
  tiles.totalsFloat[slot] = float(tiles.totals[slot]);
  tiles.offsets[slot] = cluster ? cluster->offset : std::numeric_limits<double>::infinity();
}

// The bound from the pair's parts, each logarithm taken by `ln`.
template <typename Ln>
static inline double boundFromParts(const BoundContext& context, const BoundCluster& a, double totalB,
                                    double offsetB, const double* groupSumsB, size_t stride, Ln ln) {
  double x = (a.total + totalB) + context.columnsLess1;
  // Below 1 only with a negative total (whose offset rules the pair out
  // anyway); beyond kLargestArgument the delta's argument wrapped.
  if (!(x >= 1 && x <= kLargestArgument)) return kMinusInfinity;
  double lx = ln(x);
  double totalTerm = (1 - x) + (x + 0.5) * lx;
  double groupTerms = 0.0;
  for (uint32_t g = 0; g < kBoundGroups; g++) {
    double s = a.groupSums[g] + groupSumsB[g * stride];
    groupTerms += s * ln(std::max(s, 1.0));
  }
  double margin = context.marginScale * ((x + 1) * (lx + 2));
  double bound = ((((totalTerm - context.constant) - a.offset) - offsetB) - groupTerms) - margin;
  // A NaN would pass for a bound that rules everything out; none should
  // arise, but -inf is the safe value for anything unexpected.
  return std::isnan(bound) ? kMinusInfinity : bound;
}

double pairBound(const BoundContext& context, const BoundCluster& a, const BoundCluster& b) {
  return boundFromParts(context, a, b.total, b.offset, b.groupSums, 1, [](double s) { return std::log(s); });
}

static void portableBoundKernel(const BoundContext& context, const BoundCluster& a, uint32_t tile, uint32_t lanes,
                                double* out) {
  const BoundTiles& tiles = *context.tiles;
  const double* sums = tiles.groupSums.data() + size_t(tile) * kBoundGroups * kLanes;
  for (uint32_t lane = 0; lane < kLanes; lane++) {
    if ((lanes >> lane & 1) == 0) continue;
    size_t slot = size_t(tile) * kLanes + lane;
    out[lane] = boundFromParts(context, a, tiles.totals[slot], tiles.offsets[slot], sums + lane, kLanes,
                               boundLogarithm);
  }
}

#if MORVALEN_X86_BOUNDS
// 32 entries: i is the top 5 bits of the fraction, r_i = 1 / (1 + (i + 0.5)
// / 32), so |m r_i - 1| <= 1/64.9.
struct LogTableFloat {
  alignas(64) float reciprocal[32];
  alignas(64) float minusLog[32];
};

const LogTableFloat& logTableFloat() {
  static const LogTableFloat table = [] {
    LogTableFloat t;
    for (int i = 0; i < 32; i++) {
      t.reciprocal[i] = float(64.0 / double(65 + 2 * i));
      t.minusLog[i] = float(-std::log(double(t.reciprocal[i])));
    }
    return t;
  }();
  return table;
}

struct LogVectors {
  __m512 reciprocalLow, reciprocalHigh, minusLogLow, minusLogHigh;
};

// ln s on 16 float lanes, s >= 1: the steps of boundLogarithm with a 32-entry
// table, picked by a two-source permutation, and 3 terms of the series (|u|
// <= 1/64.9 leaves less than 1.5e-8). The masked forms, with every lane set,
// spare GCC's header an uninitialised placeholder that it warns about.
__attribute__((target("avx512f,fma"))) static inline __m512 logarithm16(__m512 s, const LogVectors& t) {
  const __m512 zero = _mm512_setzero_ps();
  __m512 exponent = _mm512_mask_getexp_ps(zero, 0xFFFF, s);
  __m512 m = _mm512_mask_getmant_ps(zero, 0xFFFF, s, _MM_MANT_NORM_1_2, _MM_MANT_SIGN_zero);
  // Bits 18..22 of s are the top 5 bits of its fraction; the permutation
  // reads the low 5 bits of each index.
  __m512i index = _mm512_mask_srli_epi32(_mm512_setzero_si512(), 0xFFFF, _mm512_castps_si512(s), 18);
  __m512 r = _mm512_permutex2var_ps(t.reciprocalLow, index, t.reciprocalHigh);
  __m512 u = _mm512_fmsub_ps(m, r, _mm512_set1_ps(1.0f));
  __m512 p = _mm512_fmsub_ps(_mm512_set1_ps(1.0f / 3), u, _mm512_set1_ps(1.0f / 2));
  p = _mm512_fmadd_ps(p, u, _mm512_set1_ps(1.0f));
  __m512 tableLog = _mm512_permutex2var_ps(t.minusLogLow, index, t.minusLogHigh);
  return _mm512_fmadd_ps(exponent, _mm512_set1_ps(float(kLn2)), _mm512_fmadd_ps(p, u, tableLog));
}

// Halves of a float vector, by the masked extraction: GCC's own casts leave
// lanes undefined and warn about it.
__attribute__((target("avx512f,avx512dq"))) static inline __m256 lowHalf(__m512 v) {
  return _mm512_mask_extractf32x8_ps(_mm256_setzero_ps(), 0xFF, v, 0);
}

__attribute__((target("avx512f,avx512dq"))) static inline __m256 highHalf(__m512 v) {
  return _mm512_mask_extractf32x8_ps(_mm256_setzero_ps(), 0xFF, v, 1);
}

__attribute__((target("avx512f"))) static inline __m512d toDouble(__m256 v) {
  return _mm512_mask_cvtps_pd(_mm512_setzero_pd(), 0xFF, v);
}

// sum + phi(A_g + B_g) - phi(B_g) on the 16 lanes of a tile.
__attribute__((target("avx512f,fma"))) static inline __m512 addGroupTerm16(__m512 sum, const float* groupSumsA,
                                                                          uint32_t g, const float* sums,
                                                                          const float* phis, const LogVectors& t) {
  __m512 s = _mm512_add_ps(_mm512_set1_ps(groupSumsA[g]), _mm512_loadu_ps(sums + g * kLanes));
  __m512 term = _mm512_fmsub_ps(s, logarithm16(s, t), _mm512_loadu_ps(phis + g * kLanes));
  return _mm512_add_ps(sum, term);
}

// The bound of 16 lanes at once, with the group terms taken as Phi_b (in
// ownTerms_b) plus, over a's active groups, phi(A_g + B_g) - phi(B_g).
__attribute__((target("avx512f,avx512dq,fma"))) static void avx512BoundKernel(const BoundContext& context,
                                                                 const BoundCluster& a, uint32_t tile, uint32_t,
                                                                 double* out) {
  const BoundTiles& tiles = *context.tiles;
  const LogTableFloat& table = logTableFloat();
  const LogVectors t = {_mm512_load_ps(table.reciprocal), _mm512_load_ps(table.reciprocal + 16),
                        _mm512_load_ps(table.minusLog), _mm512_load_ps(table.minusLog + 16)};
  const __m512 one = _mm512_set1_ps(1.0f);
  const float* sums = tiles.groupSumsFloat.data() + size_t(tile) * kBoundGroups * kLanes;
  const float* phis = tiles.groupPhisFloat.data() + size_t(tile) * kBoundGroups * kLanes;
  size_t slot = size_t(tile) * kLanes;
  __m512 x = _mm512_add_ps(_mm512_add_ps(_mm512_set1_ps(float(a.total)), _mm512_loadu_ps(&tiles.totalsFloat[slot])),
                           _mm512_set1_ps(float(context.columnsLess1)));
  // Two roundings move x by less than 2^9 near 2^31, so a lane whose x
  // reached 2^31 (the delta's argument wrapped) shows at least 2^31 - 2^11:
  // every lane there is ruled out (-inf), wrapped or not. So is a lane with
  // x below 1 (a negative total), whose logarithm would not be finite.
  __mmask16 wrapped = _mm512_cmp_ps_mask(x, _mm512_set1_ps(2147481600.0f), _CMP_NLT_UQ) |
                      _mm512_cmp_ps_mask(x, one, _CMP_NGE_UQ);
  __m512 safeX = _mm512_mask_blend_ps(wrapped, x, one);
  __m512 lx = logarithm16(safeX, t);
  __m512 totalTerm = _mm512_add_ps(_mm512_sub_ps(one, safeX), _mm512_mul_ps(_mm512_add_ps(safeX, _mm512_set1_ps(0.5f)), lx));
  // The group terms go to kPartialSums float sums of a few terms each, which
  // are then added in double: the float sums round little.
  constexpr uint32_t kPartialSums = 4;
  __m512 partial[kPartialSums];
  for (uint32_t q = 0; q < kPartialSums; q++) partial[q] = _mm512_setzero_ps();
  // Only a's groups that are not 0 take a logarithm: the others add
  // phi(B_g), which ownTerms_b holds. Unrolled by fours, so that the partial
  // sums stay in registers and the independent logarithms overlap. With
  // A_g >= 1, s = A_g + B_g is an integer >= 1 wherever the bound holds (a
  // negative count of b can make it 0 or less: the logarithm's NaN or
  // infinity then ends in a NaN bound, which becomes -inf, as b's offset
  // would make it anyway).
  uint32_t i = 0;
  for (; i + kPartialSums <= a.nonzeroCount; i += kPartialSums)
    for (uint32_t q = 0; q < kPartialSums; q++)
      partial[q] = addGroupTerm16(partial[q], a.groupSumsFloat, a.activeGroups[i + q], sums, phis, t);
  for (uint32_t q = 0; i < a.nonzeroCount; i++, q++)
    partial[q] = addGroupTerm16(partial[q], a.groupSumsFloat, a.activeGroups[i], sums, phis, t);
  __m512d groupTerms[2] = {_mm512_setzero_pd(), _mm512_setzero_pd()};
  for (uint32_t q = 0; q < kPartialSums; q++) {
    groupTerms[0] = _mm512_add_pd(groupTerms[0], toDouble(lowHalf(partial[q])));
    groupTerms[1] = _mm512_add_pd(groupTerms[1], toDouble(highHalf(partial[q])));
  }
  __m512 magnitude = _mm512_mul_ps(_mm512_add_ps(safeX, one), _mm512_add_ps(lx, _mm512_set1_ps(2.0f)));
  for (uint32_t half = 0; half < 2; half++) {
    __m512d totalHalf = toDouble(half == 0 ? lowHalf(totalTerm) : highHalf(totalTerm));
    __m256 magnitudeHalf = half == 0 ? lowHalf(magnitude) : highHalf(magnitude);
    __m512d bound = _mm512_sub_pd(_mm512_sub_pd(totalHalf, groupTerms[half]), _mm512_set1_pd(context.constant));
    bound = _mm512_sub_pd(bound, _mm512_set1_pd(a.offset));
    bound = _mm512_sub_pd(bound, _mm512_loadu_pd(&tiles.ownTerms[slot + 8 * half]));
    __m512d margin = _mm512_mul_pd(_mm512_set1_pd(context.floatMarginScale), toDouble(magnitudeHalf));
    bound = _mm512_sub_pd(bound, margin);
    // A NaN would pass for a bound that rules everything out (every
    // comparison with it fails); none should arise, but -inf is the safe
    // value for anything unexpected.
    __mmask8 ruledOut = __mmask8(wrapped >> (8 * half)) | _mm512_cmp_pd_mask(bound, bound, _CMP_UNORD_Q);
    bound = _mm512_mask_blend_pd(ruledOut, bound, _mm512_set1_pd(kMinusInfinity));
    _mm512_storeu_pd(out + 8 * half, bound);
  }
}

// 8 entries, for the AVX2 kernel's one-register permutation: i is the top 3
// bits of the fraction, r_i = 1 / (1 + (i + 0.5) / 8), so |m r_i - 1| <= 1/17.
struct LogTableFloat8 {
  alignas(32) float reciprocal[8];
  alignas(32) float minusLog[8];
};

LogTableFloat8 makeLogTableFloat8() {
  LogTableFloat8 t;
  for (int i = 0; i < 8; i++) {
    t.reciprocal[i] = float(16.0 / double(17 + 2 * i));
    t.minusLog[i] = float(-std::log(double(t.reciprocal[i])));
  }
  return t;
}

const LogTableFloat8 kLogTableFloat8 = makeLogTableFloat8();

// ln s on 8 float lanes, s >= 1 (so normal): the steps of boundLogarithm on
// float bits with the 8-entry table and 4 terms of the series (|u| <= 1/17
// leaves less than 1.5e-7). For s = 0 it gives -127 ln 2 + ln r_0 + (r_0 - 1),
// finite, so that s ln s is 0 as it should be.
__attribute__((target("avx2"))) static inline __m256 logarithm8(__m256 s, __m256 reciprocals, __m256 minusLogs) {
  const __m256 one = _mm256_set1_ps(1.0f);
  __m256i bits = _mm256_castps_si256(s);
  __m256 exponent = _mm256_cvtepi32_ps(_mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127)));
  __m256 m = _mm256_castsi256_ps(
      _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x007FFFFF)), _mm256_set1_epi32(0x3F800000)));
  // The permutation reads the low 3 bits of each index: bits 20..22 of s.
  __m256i index = _mm256_srli_epi32(bits, 20);
  __m256 u = _mm256_sub_ps(_mm256_mul_ps(m, _mm256_permutevar8x32_ps(reciprocals, index)), one);
  __m256 p = _mm256_set1_ps(-1.0f / 4);
  p = _mm256_add_ps(_mm256_mul_ps(p, u), _mm256_set1_ps(1.0f / 3));
  p = _mm256_sub_ps(_mm256_mul_ps(p, u), _mm256_set1_ps(1.0f / 2));
  p = _mm256_add_ps(_mm256_mul_ps(p, u), one);
  p = _mm256_mul_ps(p, u);
  __m256 tableLog = _mm256_permutevar8x32_ps(minusLogs, index);
  return _mm256_add_ps(_mm256_mul_ps(exponent, _mm256_set1_ps(float(kLn2))), _mm256_add_ps(tableLog, p));
}

// The AVX-512 kernel's steps on 8 lanes at a time, its double parts on 4,
// for the lanes asked for.
__attribute__((target("avx2"))) static void avx2BoundKernel(const BoundContext& context, const BoundCluster& a,
                                                            uint32_t tile, uint32_t lanes, double* out) {
  const BoundTiles& tiles = *context.tiles;
  const __m256 reciprocals = _mm256_load_ps(kLogTableFloat8.reciprocal);
  const __m256 minusLogs = _mm256_load_ps(kLogTableFloat8.minusLog);
  const __m256 one = _mm256_set1_ps(1.0f);
  const float* sums = tiles.groupSumsFloat.data() + size_t(tile) * kBoundGroups * kLanes;
  const float* phis = tiles.groupPhisFloat.data() + size_t(tile) * kBoundGroups * kLanes;
  for (uint32_t eighth = 0; eighth < kLanes; eighth += 8) {
    if ((lanes >> eighth & 0xFF) == 0) continue;
    size_t slot = size_t(tile) * kLanes + eighth;
    __m256 x = _mm256_add_ps(_mm256_add_ps(_mm256_set1_ps(float(a.total)), _mm256_loadu_ps(&tiles.totalsFloat[slot])),
                             _mm256_set1_ps(float(context.columnsLess1)));
    // As in the AVX-512 kernel: lanes whose x may have reached 2^31, and
    // lanes with x below 1, are ruled out of nothing.
    __m256 wrapped = _mm256_or_ps(_mm256_cmp_ps(x, _mm256_set1_ps(2147481600.0f), _CMP_NLT_UQ),
                                  _mm256_cmp_ps(x, one, _CMP_NGE_UQ));
    __m256 safeX = _mm256_blendv_ps(x, one, wrapped);
    __m256 lx = logarithm8(safeX, reciprocals, minusLogs);
    __m256 totalTerm =
        _mm256_add_ps(_mm256_sub_ps(one, safeX), _mm256_mul_ps(_mm256_add_ps(safeX, _mm256_set1_ps(0.5f)), lx));
    constexpr uint32_t kPartialSums = 4;
    __m256 partial[kPartialSums];
    for (uint32_t q = 0; q < kPartialSums; q++) partial[q] = _mm256_setzero_ps();
    // Only a's groups that are not 0 (in fours) take a logarithm: the
    // others add phi(B_g), which ownTerms_b holds. Unrolled, so that the
    // partial sums stay in registers and the independent logarithms overlap.
    for (uint32_t i = 0; i < a.activeCount; i += kPartialSums) {
      for (uint32_t q = 0; q < kPartialSums; q++) {
        uint32_t g = a.activeGroups[i + q];
        // s is 0 or an integer >= 1 (or negative, in a pair ruled out by
        // its offset): no clamp is needed.
        __m256 s = _mm256_add_ps(_mm256_broadcast_ss(&a.groupSumsFloat[g]), _mm256_loadu_ps(sums + g * kLanes + eighth));
        __m256 ls = logarithm8(s, reciprocals, minusLogs);
        __m256 term = _mm256_sub_ps(_mm256_mul_ps(s, ls), _mm256_loadu_ps(phis + g * kLanes + eighth));
        partial[q] = _mm256_add_ps(partial[q], term);
      }
    }
    __m256d groupTerms[2] = {_mm256_setzero_pd(), _mm256_setzero_pd()};
    for (uint32_t q = 0; q < kPartialSums; q++) {
      groupTerms[0] = _mm256_add_pd(groupTerms[0], _mm256_cvtps_pd(_mm256_castps256_ps128(partial[q])));
      groupTerms[1] = _mm256_add_pd(groupTerms[1], _mm256_cvtps_pd(_mm256_extractf128_ps(partial[q], 1)));
    }
    __m256 magnitude = _mm256_mul_ps(_mm256_add_ps(safeX, one), _mm256_add_ps(lx, _mm256_set1_ps(2.0f)));
    for (uint32_t quarter = 0; quarter < 2; quarter++) {
      __m128 totalPart = quarter == 0 ? _mm256_castps256_ps128(totalTerm) : _mm256_extractf128_ps(totalTerm, 1);
      __m128 magnitudePart = quarter == 0 ? _mm256_castps256_ps128(magnitude) : _mm256_extractf128_ps(magnitude, 1);
      __m128 wrappedPart = quarter == 0 ? _mm256_castps256_ps128(wrapped) : _mm256_extractf128_ps(wrapped, 1);
      __m256d bound = _mm256_sub_pd(_mm256_sub_pd(_mm256_cvtps_pd(totalPart), groupTerms[quarter]),
                                    _mm256_set1_pd(context.constant));
      bound = _mm256_sub_pd(bound, _mm256_set1_pd(a.offset));
      bound = _mm256_sub_pd(bound, _mm256_loadu_pd(&tiles.ownTerms[slot + 4 * quarter]));
      __m256d margin = _mm256_mul_pd(_mm256_set1_pd(context.floatMarginScale), _mm256_cvtps_pd(magnitudePart));
      bound = _mm256_sub_pd(bound, margin);
      // The lane masks widened to 64 bits (all ones stay all ones); a NaN
      // bound, which none should be, becomes -inf too.
      __m256d ruledOut = _mm256_or_pd(_mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_castps_si128(wrappedPart))),
                                      _mm256_cmp_pd(bound, bound, _CMP_UNORD_Q));
      bound = _mm256_blendv_pd(bound, _mm256_set1_pd(kMinusInfinity), ruledOut);
      _mm256_storeu_pd(out + eighth + 4 * quarter, bound);
    }
  }
}
#endif

BoundKernel boundKernel(KernelKind kind) {
#if MORVALEN_X86_BOUNDS
  __builtin_cpu_init();
  bool hasAvx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
  bool hasAvx2 = __builtin_cpu_supports("avx2");
  if ((kind == KernelKind::avx512 || kind == KernelKind::automatic) && hasAvx512) return avx512BoundKernel;
  if ((kind == KernelKind::avx2 || kind == KernelKind::automatic) && hasAvx2) return avx2BoundKernel;
#else
  (void)kind;
#endif
  return portableBoundKernel;
}

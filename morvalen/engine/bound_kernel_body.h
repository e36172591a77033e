// The vector bound kernel, one body for every instruction set: included by
// kernels_<set>.cpp, each built for its set, with a Target that supplies
//   Arch                        the xsimd architecture;
//   kFused                      whether the float logarithm and the group
//                               terms use fused multiply-adds;
//   kTableBits, kSeriesTerms    the logarithm's table (2^bits entries) and
//                               the terms of its series;
//   kGroupLogAbove              whether the group terms take upperLogarithm
//                               (never below ln, fewer steps) instead;
//   kEveryActiveGroup           whether it takes a's groups padded to a
//                               multiple of 4 (activeCount) or only those
//                               that are not 0 (nonzeroCount);
//   fusedMultiplyAdd(x, y, z)   x * y + z rounded once (when kFused);
//   lookup(table, index)        table[index & (2^bits - 1)] on every lane;
//   widen(v, low, high)         the float lanes as doubles, in two halves;
//   countBytes(words)           the bits set in each byte;
//   sumBytes(words)             the sum of the bytes of each 64-bit lane.
// Why the result is a lower bound, and the rounding it allows for: bounds.h.
// Only kernel_types.h may be included besides (see there).
#pragma once

#include <limits>

#include <xsimd/xsimd.hpp>

#include "kernel_types.h"

namespace {

template <class Target>
using FloatsOf = xsimd::batch<float, typename Target::Arch>;

template <class Target>
inline FloatsOf<Target> multiplyAdd(FloatsOf<Target> x, FloatsOf<Target> y, FloatsOf<Target> z) {
  if constexpr (Target::kFused) {
    return Target::fusedMultiplyAdd(x, y, z);
  } else {
    return x * y + z;
  }
}

// The float logarithm's tables, loaded once per call.
template <class Target>
struct LogVectors {
  const float* reciprocal;
  const float* minusLog;
};

template <class Target>
inline LogVectors<Target> logVectors(const BoundLogTables& tables) {
  if constexpr (Target::kTableBits == 3) {
    return {tables.reciprocal8, tables.minusLog8};
  } else {
    static_assert(Target::kTableBits == 5, "the tables hold 8 or 32 entries");
    return {tables.reciprocal32, tables.minusLog32};
  }
}

// s = m 2^e on every lane, s >= 1 (so normal), split as the steps of
// boundLogarithm (bounds.cpp) split it, in float: e and m read off the bits;
// i the top kTableBits bits of m's fraction; u = m r_i - 1, so that ln m =
// -ln r_i + ln(1 + u). For s = 0 the parts are finite, so that s ln s is 0
// as it should be.
template <class Target>
struct LogParts {
  FloatsOf<Target> exponent, u, tableLog;
};

template <class Target>
inline LogParts<Target> logParts(FloatsOf<Target> s, const LogVectors<Target>& t) {
  using Floats = FloatsOf<Target>;
  using Ints = xsimd::batch<int32_t, typename Target::Arch>;
  Ints bits = xsimd::bitwise_cast<Ints>(s);
  Floats exponent = xsimd::batch_cast<float>((bits >> 23) - Ints(127));
  Floats m = xsimd::bitwise_cast<Floats>((bits & Ints(0x007FFFFF)) | Ints(0x3F800000));
  Ints index = bits >> (23 - Target::kTableBits);
  Floats r = Target::lookup(t.reciprocal, index);
  return {exponent, multiplyAdd<Target>(m, r, Floats(-1.0f)), Target::lookup(t.minusLog, index)};
}

// e ln 2 - ln r_i + p u, with p u standing for ln(1 + u).
template <class Target>
inline FloatsOf<Target> assembleLogarithm(const LogParts<Target>& parts, FloatsOf<Target> p) {
  using Floats = FloatsOf<Target>;
  const Floats ln2(float(0.69314718055994530942));
  if constexpr (Target::kFused) {
    return Target::fusedMultiplyAdd(parts.exponent, ln2, Target::fusedMultiplyAdd(p, parts.u, parts.tableLog));
  } else {
    return parts.exponent * ln2 + (parts.tableLog + p * parts.u);
  }
}

// ln s, with ln(1 + u) from kSeriesTerms terms of its series u - u^2/2 + ...
// by Horner's rule, from the last coefficient.
template <class Target>
inline FloatsOf<Target> logarithm(FloatsOf<Target> s, const LogVectors<Target>& t) {
  using Floats = FloatsOf<Target>;
  LogParts<Target> parts = logParts<Target>(s, t);
  constexpr int kTerms = Target::kSeriesTerms;
  Floats p((kTerms % 2 == 1 ? 1.0f : -1.0f) / float(kTerms));
  for (int k = kTerms - 1; k >= 1; k--) p = multiplyAdd<Target>(p, parts.u, Floats((k % 2 == 1 ? 1.0f : -1.0f) / float(k)));
  return assembleLogarithm<Target>(parts, p);
}

// A value never below ln s but for rounding, in fewer steps: ln(1 + u) <=
// u - u^2/2 + u^3/3 for every u > -1 (the terms left out are all negative
// for u < 0, and alternate with falling size for 0 <= u < 1), and |u|^3/3
// <= (0.5 - kQuadratic) u^2 while |u| <= 0.06, which the tables of 8 and 32
// entries keep (|u| <= 1/17 and 1/64.9, and rounding adds 1e-7). So ln(1 +
// u) <= u (1 - kQuadratic u), at most 1.4e-4 below it.
template <class Target>
inline FloatsOf<Target> upperLogarithm(FloatsOf<Target> s, const LogVectors<Target>& t) {
  using Floats = FloatsOf<Target>;
  static_assert(Target::kTableBits >= 3, "|u| <= 1/17");
  constexpr float kQuadratic = 0.48f;  // the float lies below 0.48, so below 0.5 - 0.06/3
  LogParts<Target> parts = logParts<Target>(s, t);
  return assembleLogarithm<Target>(parts, multiplyAdd<Target>(parts.u, Floats(-kQuadratic), Floats(1.0f)));
}

// phi(A_g + B_g) - phi(B_g) on the lanes from `lane`, phi(s) = s ln s.
template <class Target>
inline FloatsOf<Target> groupTerm(const BoundCluster& a, uint32_t g, const float* sums, const float* phis,
                                  const LogVectors<Target>& t) {
  using Floats = FloatsOf<Target>;
  Floats s = Floats(a.groupSumsFloat[g]) + Floats::load_unaligned(sums + g * kLanes);
  Floats phi = Floats::load_unaligned(phis + g * kLanes);
  Floats ls;
  if constexpr (Target::kGroupLogAbove) {
    ls = upperLogarithm<Target>(s, t);
  } else {
    ls = logarithm<Target>(s, t);
  }
  if constexpr (Target::kFused) {
    return Target::fusedMultiplyAdd(s, ls, -phi);
  } else {
    return s * ls - phi;
  }
}

// The correction (bounds.h) on the 2 kHalf lanes from `first` of a tile, a
// half to each of out[0] and out[1]: per lane, the columns where both
// clusters reach the first level, and those where both reach each later
// level, each count times its weight. The bits of each word are counted per
// byte, the byte counts summed across words (at most 8 per word and byte, so
// no byte overflows into the next) and then across each lane's bytes. The
// counts are small integers, which the sum with 2^52 turns into doubles
// exactly; the products and the sum are those of the plain kernel.
template <class Target>
inline void correctionTerms(const BoundContext& context, const BoundCluster& a, uint32_t tile, uint32_t first,
                            xsimd::batch<double, typename Target::Arch>* out) {
  using Doubles = xsimd::batch<double, typename Target::Arch>;
  using Words = xsimd::batch<uint64_t, typename Target::Arch>;
  constexpr uint32_t kHalf = uint32_t(Doubles::size);
  static_assert((kCorrectionLevels - 1) * kCorrectionWords * 8 < 256, "byte counts stay below 256");
  const uint64_t* masks = context.levelMasks + size_t(tile) * kCorrectionLevels * kCorrectionWords * kLanes + first;
  Words bytes[2][2] = {{Words(uint64_t(0)), Words(uint64_t(0))}, {Words(uint64_t(0)), Words(uint64_t(0))}};
  for (uint32_t j = 0; j < a.levelCount; j++) {
    for (uint32_t w = 0; w < kCorrectionWords; w++) {
      uint64_t mine = a.levelMasks[j][w];
      if (mine == 0) continue;
      const uint64_t* theirs = masks + (j * kCorrectionWords + w) * kLanes;
      for (uint32_t h = 0; h < 2; h++)
        bytes[j != 0][h] = bytes[j != 0][h] + Target::countBytes(Words::load_unaligned(theirs + h * kHalf) & Words(mine));
    }
  }
  const Words twoTo52Bits(uint64_t(0x4330000000000000));
  const Doubles twoTo52(4503599627370496.0);
  for (uint32_t h = 0; h < 2; h++) {
    Doubles firstLevel = xsimd::bitwise_cast<Doubles>(Target::sumBytes(bytes[0][h]) | twoTo52Bits) - twoTo52;
    Doubles later = xsimd::bitwise_cast<Doubles>(Target::sumBytes(bytes[1][h]) | twoTo52Bits) - twoTo52;
    out[h] = Doubles(context.firstLevelWeight) * firstLevel + Doubles(context.levelWeight) * later;
  }
}

}  // namespace

// The bound of a tile's lanes, a vector of lanes at a time (skipping vectors
// with no lane asked for), with the group terms taken as Phi_b (in
// ownTerms_b) plus, over a's groups, phi(A_g + B_g) - phi(B_g); and with
// the correction when kCorrected. Compiled apart with and without it, so
// that a run that takes no correction runs no code of it.
template <class Target, bool kCorrected>
void boundLanes(const BoundContext& context, const BoundCluster& a, uint32_t tile, uint32_t lanes, double* out) {
  using Arch = typename Target::Arch;
  using Floats = xsimd::batch<float, Arch>;
  using Doubles = xsimd::batch<double, Arch>;
  constexpr uint32_t kWidth = uint32_t(Floats::size);
  constexpr uint32_t kHalf = uint32_t(Doubles::size);
  static_assert(kLanes % kWidth == 0 && 2 * kHalf == kWidth, "a tile is a whole number of vectors");
  const LogVectors<Target> t = logVectors<Target>(context.logTables);
  const Floats one(1.0f);
  const double minusInfinity = -std::numeric_limits<double>::infinity();
  // Only the groups listed take a logarithm: the others add phi(B_g), which
  // ownTerms_b holds. With A_g >= 1, s = A_g + B_g is an integer >= 1
  // wherever the bound holds (a negative count of b can make it 0 or less:
  // such a pair's bound ends as -inf through b's offset, or as a NaN, which
  // becomes -inf below).
  const uint32_t groupCount = Target::kEveryActiveGroup ? a.activeCount : a.nonzeroCount;
  for (uint32_t first = 0; first < kLanes; first += kWidth) {
    if ((lanes >> first & ((uint64_t(1) << kWidth) - 1)) == 0) continue;
    size_t slot = size_t(tile) * kLanes + first;
    const float* sums = context.groupSumsFloat + size_t(tile) * context.groups * kLanes + first;
    const float* phis = context.groupPhisFloat + size_t(tile) * context.groups * kLanes + first;
    Floats x = (Floats(float(a.total)) + Floats::load_unaligned(context.totalsFloat + slot)) +
               Floats(float(context.columnsLess1));
    // Two roundings move x by less than 2^9 near 2^31, so a lane whose x
    // reached 2^31 (the delta's argument wrapped) shows at least 2^31 - 2^11:
    // every lane there is ruled out (-inf), wrapped or not. So is a lane with
    // x below 1 (a negative total), whose logarithm would not be finite.
    auto wrapped = (x >= Floats(2147481600.0f)) | (x < one);
    Floats safeX = xsimd::select(wrapped, one, x);
    Floats lx = logarithm<Target>(safeX, t);
    Floats totalTerm = (one - safeX) + (safeX + Floats(0.5f)) * lx;
    // The group terms go to kBoundPartialSums float sums of a few terms
    // each, which are then added in double: the float sums round little.
    // Taken by fours (so that the independent logarithms overlap), the
    // fours going to the two halves of the partial sums in turn and the last
    // terms to the half next in turn: no partial sum takes more than
    // kBoundGroups / kBoundPartialSums terms. Every index is a constant once
    // the loops over q are unrolled, so the partial sums stay in registers.
    constexpr uint32_t kStep = kBoundPartialSums / 2;
    Floats evenFours[kStep], oddFours[kStep];
    for (uint32_t q = 0; q < kStep; q++) evenFours[q] = oddFours[q] = Floats(0.0f);
    auto addTerms = [&](Floats* partial, uint32_t from, uint32_t count) {
      for (uint32_t q = 0; q < kStep; q++)
        if (q < count) partial[q] = partial[q] + groupTerm<Target>(a, a.activeGroups[from + q], sums, phis, t);
    };
    uint32_t i = 0;
    for (; i + 2 * kStep <= groupCount; i += 2 * kStep) {
      addTerms(evenFours, i, kStep);
      addTerms(oddFours, i + kStep, kStep);
    }
    if (i + kStep <= groupCount) {
      addTerms(evenFours, i, kStep);
      addTerms(oddFours, i + kStep, groupCount - i - kStep);
    } else {
      addTerms(evenFours, i, groupCount - i);
    }
    Doubles groupTerms[2] = {Doubles(0.0), Doubles(0.0)};
    for (uint32_t q = 0; q < kBoundPartialSums; q++) {
      Doubles low, high;
      Target::widen(q < kStep ? evenFours[q] : oddFours[q - kStep], low, high);
      groupTerms[0] = groupTerms[0] + low;
      groupTerms[1] = groupTerms[1] + high;
    }
    Floats magnitude = (safeX + one) * (lx + Floats(2.0f));
    Doubles totalTerms[2], magnitudes[2], wrappedLanes[2];
    Target::widen(totalTerm, totalTerms[0], totalTerms[1]);
    Target::widen(magnitude, magnitudes[0], magnitudes[1]);
    Target::widen(xsimd::select(wrapped, one, Floats(0.0f)), wrappedLanes[0], wrappedLanes[1]);
    Doubles corrections[2];
    if constexpr (kCorrected) correctionTerms<Target>(context, a, tile, first, corrections);
    for (uint32_t h = 0; h < 2; h++) {
      Doubles bound = (totalTerms[h] - groupTerms[h]) - Doubles(context.constant);
      bound = bound - Doubles(a.offset);
      bound = bound - Doubles::load_unaligned(context.ownTerms + slot + h * kHalf);
      bound = bound - Doubles(context.floatMarginScale) * magnitudes[h];
      if constexpr (kCorrected) bound = bound + corrections[h];
      // A NaN would pass for a bound that rules everything out (every
      // comparison with it fails); none should arise, but -inf is the safe
      // value for anything unexpected.
      auto ruledOut = (wrappedLanes[h] != Doubles(0.0)) | (bound != bound);
      bound = xsimd::select(ruledOut, Doubles(minusInfinity), bound);
      bound.store_unaligned(out + first + h * kHalf);
    }
  }
}

template <class Target>
void boundKernelBody(const BoundContext& context, const BoundCluster& a, uint32_t tile, uint32_t lanes,
                     double* out) {
  if (a.levelCount == 0) {
    boundLanes<Target, false>(context, a, tile, lanes, out);
  } else {
    boundLanes<Target, true>(context, a, tile, lanes, out);
  }
}

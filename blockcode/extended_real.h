// Exact integer model of the few 80-bit extended operations the range
// encoder uses, for hosts without the x87 format and as the fast path.
//
// Read me first:
// - The 80-bit format keeps 64 significant bits and, in the encoder, rounds
//   every result toward zero. For a non-negative value that means: keep the
//   64 leading bits of the exact result and drop the rest.
// - Every value the encoder computes (interval width, the quotient and the
//   two products of a symbol, the new width) is non-negative and below 2^64,
//   and every nonzero one is at least 2^-1 (see range_encoder.h for the
//   bounds). Such a value v is held exactly as the 128-bit integer v * 2^64
//   (`Fixed`): 64 integer bits, 64 fraction bits. A 64-bit significand whose
//   leading bit is at 2^e has its last bit at 2^(e-63) >= 2^-64 for
//   e >= -1, so the fraction bits never lose anything the format keeps.
// - An operation is modelled by computing its exact result, or its floor in
//   units of 2^-64, and then truncating to 64 significant bits. Taking the
//   floor first changes nothing: truncation to a grid of 2^-64 or coarser,
//   applied to a number or to its floor on the finer grid, gives the same
//   point of the coarser grid.
#pragma once

#include <cstdint>

#include "fileio.h"

using Fixed = unsigned __int128;

constexpr int kFractionBits = 64;

inline Fixed fixedFromInteger(uint64_t value) { return Fixed(value) << kFractionBits; }

inline uint64_t integerPart(Fixed value) { return uint64_t(value >> kFractionBits); }

inline int leadingZeros64(uint64_t value) { return value == 0 ? 64 : __builtin_clzll(value); }

// Rounds `value` toward zero to 64 significant bits. Values below 2^64 are
// all this model holds; those below 1 already have at most 64 bits.
inline Fixed truncateToSignificand(Fixed value) {
  uint64_t high = integerPart(value);
  if (high == 0) return value;
  int zeros = leadingZeros64(high);
  // The leading bit is bit 127 - zeros; the 64 bits kept end at bit
  // 64 - zeros, so the low (64 - zeros) bits go. zeros = 0 clears the whole
  // fraction word.
  uint64_t fraction = zeros == 0 ? 0 : uint64_t(value) & (~uint64_t(0) << (64 - zeros));
  return (Fixed(high) << kFractionBits) | fraction;
}

// Extended quotient value / divisor, rounded toward zero. divisor >= 1.
inline Fixed extendedDivide(Fixed value, uint32_t divisor) {
  return truncateToSignificand(value / divisor);
}

// Extended product value * factor, rounded toward zero. The exact product
// must stay below 2^64.
inline Fixed extendedMultiply(Fixed value, uint32_t factor) {
  return truncateToSignificand(value * factor);
}

// Extended difference a - b, rounded toward zero; a >= b.
inline Fixed extendedSubtract(Fixed a, Fixed b) { return truncateToSignificand(a - b); }

// Does `value` fit the 80-bit format exactly (at most 64 significant bits)?
inline bool isExtendedExact(Fixed value) { return truncateToSignificand(value) == value; }

// Division by the small totals of the block coder without a division
// instruction, for extendedDivideBySmall below: a symbol's total is at most
// the block size.
constexpr uint32_t kMaxSmallDivisor = kBlockSize;

struct Reciprocal {
  uint64_t low;   // M = ceil(2^(64 + 2b) / d) = high * 2^64 + low
  uint64_t high;
  int bits;       // b: 2^(b-1) <= d < 2^b
};

// Entry d for every divisor 1..kMaxSmallDivisor; entry 0 is unused. Built
// at compile time, so the coding loop reads it at a fixed address.
struct ReciprocalTable {
  Reciprocal entry[kMaxSmallDivisor + 1];
};

// Number of bits of v: b with 2^(b-1) <= v < 2^b, for v >= 1.
constexpr int bitLength(uint32_t v) {
  int bits = 0;
  while ((uint32_t(1) << bits) <= v) bits++;
  return bits;
}

constexpr ReciprocalTable makeReciprocals() {
  ReciprocalTable table{};
  for (uint32_t d = 1; d <= kMaxSmallDivisor; d++) {
    int bits = bitLength(d);
    Fixed power = Fixed(1) << (64 + 2 * bits);
    Fixed multiplier = (power + d - 1) / d;
    table.entry[d] = Reciprocal{uint64_t(multiplier), uint64_t(multiplier >> 64), bits};
  }
  return table;
}

inline constexpr ReciprocalTable kReciprocals = makeReciprocals();

// extendedDivide(value, divisor) for divisor <= kMaxSmallDivisor and an
// exact extended value with 2^31 <= value < 2^63, by multiplication.
//
// Why it is exact: value = m * 2^k with m its 64-bit significand
// (2^63 <= m < 2^64) and k = 64 - zeros >= 33 in fixed-point units. With
// 2^(b-1) <= d < 2^b, Q = floor(m * 2^b / d) lies in (2^63, 2^65); since
// k >= b, floor(value / d) lies in [Q * 2^(k-b), (Q+1) * 2^(k-b)), an
// interval that truncation to 64 significant bits maps to the same point as
// Q * 2^(k-b). So the result is Q cut to its 64 leading bits, shifted up.
// Q itself is floor(m * M / 2^(64+b)): m * M / 2^(64+b) exceeds m * 2^b / d
// by less than m / 2^(64+b) < 2^-b < 1/d, while m * 2^b / d is at most
// Q + (d-1)/d, so the floor does not move.
inline Fixed extendedDivideBySmall(Fixed value, uint32_t divisor) {
  const Reciprocal& reciprocal = kReciprocals.entry[divisor];
  uint64_t high = integerPart(value);
  int zeros = __builtin_clzll(high);  // 1..32 for 2^31 <= value < 2^63
  uint64_t significand = (high << zeros) | (uint64_t(value) >> (64 - zeros));
  Fixed product = Fixed(significand) * reciprocal.high +
                  ((Fixed(significand) * reciprocal.low) >> 64);
  Fixed quotient = product >> reciprocal.bits;
  int extra = int(quotient >> 64);  // 0 or 1: Q has 64 or 65 bits
  uint64_t kept = uint64_t(quotient >> extra);
  return Fixed(kept) << (64 - zeros - reciprocal.bits + extra);
}

// How many low bits of q * c go when the product is cut to 64 significant
// bits, for a 64-bit significand q (2^63 <= q < 2^64) and a factor
// 1 <= c <= kMaxSmallDivisor with bit length n: q * c lies in
// [2^(62+n), 2^(64+n)), so its bit length is 63 + n, or 64 + n exactly when
// q * c >= 2^(63+n), that is when q > threshold = ceil(2^(63+n) / c) - 1.
// The cut is the bit length minus 64; threshold <= 2^64 - 1 as c >= 2^(n-1).
// Knowing the cut from a comparison on q, rather than by counting the
// product's bits, takes it off the range encoder's chain of dependent steps.
struct ProductBits {
  uint64_t threshold;
  int cutBelow;  // n - 1
};

struct ProductBitsTable {
  ProductBits entry[kMaxSmallDivisor + 1];
};

constexpr ProductBitsTable makeProductBits() {
  ProductBitsTable table{};
  for (uint32_t c = 1; c <= kMaxSmallDivisor; c++) {
    int n = bitLength(c);
    Fixed power = Fixed(1) << (63 + n);
    table.entry[c] = ProductBits{uint64_t((power + c - 1) / c - 1), n - 1};
  }
  return table;
}

inline constexpr ProductBitsTable kProductBits = makeProductBits();

inline int productCut(uint64_t q, uint32_t factor) {
  const ProductBits& bits = kProductBits.entry[factor];
  return bits.cutBelow + int(q > bits.threshold);
}

// Code length, in nats, of the counts in a row (or a sum of rows) under one
// adaptive Laplace estimator over K symbols, and the extra length caused by
// coding two clusters with one shared model.
//
// Read me first:
// - Every real operation is an IEEE double operation rounded to nearest, each
//   product and sum rounded on its own (the build forbids contraction into
//   fused multiply-adds). Ties in the clustering are decided by the last bits,
//   so the order of the operations below is part of the result.
// - Costs are stored as 32-bit floats; a merge delta stays in double.
// - Counts and totals are signed 32-bit values whose sums wrap modulo 2^32;
//   the wrapping is done in unsigned arithmetic, so it is never undefined.
#pragma once

#include <cstdint>

// Signed 32-bit addition that wraps modulo 2^32.
inline int32_t wrappingAdd(int32_t a, int32_t b) {
  return int32_t(uint32_t(a) + uint32_t(b));
}

// The number of columns as a signed 32-bit term of the arithmetic above.
inline int32_t columnsAsTerm(uint32_t columns) { return int32_t(columns); }

// Stirling-type ln(x!): (1 - x) + (x + 0.5) * ln x, and 0 for x < 1
// (exactly 0 for x = 1 too).
double lnFactorial(int32_t x);

// Wrapping sum of the `columns` counts of a row, in ascending column order.
int32_t rowSum(const int32_t* row, uint32_t columns);

// lnFactorial(K - 1), the constant term F of every cost and delta.
double constantTerm(uint32_t columns);

// Cost of a row with the given total: ((T - S) - F) rounded to float, where
// T = lnFactorial(total + K - 1) and S sums lnFactorial of the counts.
// `constant` is constantTerm(columns).
float rowCost(const int32_t* row, uint32_t columns, int32_t total, double constant);

// rowCost with the count terms taken from ln(count), a function with the
// bits of lnFactorial (a table of its values, say).
template <typename Ln>
float rowCostWith(const int32_t* row, uint32_t columns, int32_t total, double constant, Ln ln) {
  double countTerms = 0.0;
  for (uint32_t k = 0; k < columns; k++) countTerms += ln(row[k]);
  double totalTerm = lnFactorial(wrappingAdd(wrappingAdd(total, columnsAsTerm(columns)), -1));
  return float((totalTerm - countTerms) - constant);
}

// Extra nats of coding rows a and b with one model:
// ((T - S) - F) - (costA + costB), where S and T are taken over the
// column-wise sum of the two rows (formed on the fly, never stored) and the
// two float costs are added in double before they are subtracted.
double mergeDelta(const int32_t* rowA, const int32_t* rowB, uint32_t columns, int32_t totalA,
                  int32_t totalB, float costA, float costB, double constant);

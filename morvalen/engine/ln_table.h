// ln-factorials of small arguments from a table.
//
// Read me first:
// - values[x] is lnFactorial(x) itself, computed once when the table is
//   filled: a lookup has the bits of the call it replaces. Arguments below 1
//   give 0.0 without a lookup, arguments past the table call lnFactorial.
// - A cost or delta summed from lookups therefore has the bits of the same
//   sum of calls, as long as the terms are added in the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cost_model.h"
#include "fileio.h"

// 2^15 doubles (256 KiB): every count of a single block, and of the sum of a
// few, hits the table; the hot low part stays in L1.
constexpr int32_t kLnTableSize = 1 << 15;
static_assert(uint32_t(kLnTableSize) >= 16 * kBlockSize, "the counts of a few summed blocks hit the table");

struct LnFactorialTable {
  std::vector<double> values;  // values[x] == lnFactorial(x), 0 <= x < size
  int32_t size = 0;
};

void fillLnFactorialTable(LnFactorialTable& table, int32_t size);

inline double tableLnFactorial(const LnFactorialTable& table, int32_t x) {
  if (x < 1) return 0.0;
  if (x < table.size) return table.values[size_t(x)];
  return lnFactorial(x);
}

// rowCost with the table's lnFactorial: the same terms, added in the same
// order, so the same bits.
float tableRowCost(const LnFactorialTable& table, const int32_t* row, uint32_t columns, int32_t total,
                   double constant);

// terms[k] = lnFactorial(counts[k]): a column's term in every lane that has
// no count there.
void fixedColumnTerms(const LnFactorialTable& table, const int32_t* counts, uint32_t columns, double* terms);

#include "ln_table.h"

void fillLnFactorialTable(LnFactorialTable& table, int32_t size) {
  table.values.resize(size_t(size));
  for (int32_t x = 0; x < size; x++) table.values[size_t(x)] = lnFactorial(x);
  table.size = size;
}

float tableRowCost(const LnFactorialTable& table, const int32_t* row, uint32_t columns, int32_t total,
                   double constant) {
  return rowCostWith(row, columns, total, constant, [&](int32_t x) { return tableLnFactorial(table, x); });
}

void fixedColumnTerms(const LnFactorialTable& table, const int32_t* counts, uint32_t columns, double* terms) {
  for (uint32_t k = 0; k < columns; k++) terms[k] = tableLnFactorial(table, counts[k]);
}

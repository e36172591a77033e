#include "cost_model.h"

#include <cfloat>
#include <cmath>

// A wider evaluation format (x87 excess precision) would change the bits of
// every cost; the tool is only correct where doubles are evaluated as doubles.
static_assert(FLT_EVAL_METHOD == 0, "double expressions must be evaluated in double precision");

double lnFactorial(int32_t x) {
  if (x < 1) return 0.0;
  double value = double(x);
  return (1.0 - value) + (value + 0.5) * std::log(value);
}

int32_t rowSum(const int32_t* row, uint32_t columns) {
  int32_t total = 0;
  for (uint32_t k = 0; k < columns; k++) total = wrappingAdd(total, row[k]);
  return total;
}

double constantTerm(uint32_t columns) {
  return lnFactorial(wrappingAdd(columnsAsTerm(columns), -1));
}

float rowCost(const int32_t* row, uint32_t columns, int32_t total, double constant) {
  return rowCostWith(row, columns, total, constant, lnFactorial);
}

double mergeDelta(const int32_t* rowA, const int32_t* rowB, uint32_t columns, int32_t totalA,
                  int32_t totalB, float costA, float costB, double constant) {
  double countTerms = 0.0;
  for (uint32_t k = 0; k < columns; k++) countTerms += lnFactorial(wrappingAdd(rowA[k], rowB[k]));
  int32_t argument = wrappingAdd(wrappingAdd(wrappingAdd(totalA, totalB), -1), columnsAsTerm(columns));
  double totalTerm = lnFactorial(argument);
  return ((totalTerm - countTerms) - constant) - (double(costA) + double(costB));
}

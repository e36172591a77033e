#include "cost_model.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <vector>

TEST(MorvalenCost, LnFactorialIsZeroUpToOneAndStirlingAbove) {
  EXPECT_EQ(lnFactorial(INT32_MIN), 0.0);
  EXPECT_EQ(lnFactorial(-1), 0.0);
  EXPECT_EQ(lnFactorial(0), 0.0);
  EXPECT_EQ(lnFactorial(1), 0.0);
  EXPECT_FALSE(std::signbit(lnFactorial(1))) << "+0, so that printed zeros have no sign";
  // The additive constant is 1, not ln(2 pi) / 2: ln 5! = 4.787..., this gives 4.8519...
  EXPECT_NEAR(lnFactorial(5), 4.851908518387551, 1e-14);
  EXPECT_NEAR(lnFactorial(2147483647), 4.4003e10, 1e7) << "largest argument stays finite";
}

TEST(MorvalenCost, WrapsTotalsAndIgnoresCountsBelowOne) {
  const int32_t wrapping[] = {INT32_MAX, 1};
  EXPECT_EQ(rowSum(wrapping, 2), INT32_MIN);
  EXPECT_EQ(wrappingAdd(INT32_MIN, -1), INT32_MAX);

  // K = 2, total INT32_MAX: T's argument INT32_MAX + 2 - 1 wraps below 1.
  const int32_t huge[] = {INT32_MAX, 0};
  double constant = constantTerm(2);
  EXPECT_EQ(constant, 0.0);
  EXPECT_EQ(rowCost(huge, 2, INT32_MAX, constant), float(-lnFactorial(INT32_MAX)));

  const int32_t negative[] = {-7, 3};
  // Total -4: T's argument -3 gives 0; the -7 adds 0 to S, the 3 adds lnFactorial(3).
  EXPECT_EQ(rowCost(negative, 2, rowSum(negative, 2), constant), float(-lnFactorial(3)));
}

TEST(MorvalenCost, ZeroRowsCostExactlyZeroForAnyWidth) {
  for (uint32_t columns : {0u, 1u, 2u, 3u, 256u, 4096u}) {
    std::vector<int32_t> row(columns, 0);
    float cost = rowCost(row.data(), columns, 0, constantTerm(columns));
    EXPECT_EQ(cost, 0.0f) << columns;
    EXPECT_FALSE(std::signbit(cost)) << columns;
  }
}

TEST(MorvalenCost, OneColumnCostsNothingAndMergesForFree) {
  double constant = constantTerm(1);
  const int32_t a[] = {17};
  const int32_t b[] = {1000};
  EXPECT_EQ(rowCost(a, 1, 17, constant), 0.0f);
  EXPECT_EQ(mergeDelta(a, b, 1, 17, 1000, 0.0f, 0.0f, constant), 0.0);
}

TEST(MorvalenCost, SingleCountInWideRow) {
  std::vector<int32_t> row(256, 0);
  row[0] = 5;
  double constant = constantTerm(256);
  EXPECT_EQ(constant, lnFactorial(255));
  float expected = float((lnFactorial(260) - lnFactorial(5)) - lnFactorial(255));
  EXPECT_EQ(rowCost(row.data(), 256, 5, constant), expected);
  EXPECT_NEAR(expected, 22.9128206, 1e-6);
}

TEST(MorvalenCost, MergeDeltaIsTheMergedCostLessBothParts) {
  // Worked example rows (10,0) and (10,0): the merged row (20,0) costs
  // lnFactorial(21) - lnFactorial(20); the first printed delta is -1.752583.
  const int32_t a[] = {10, 0};
  const int32_t b[] = {0, 10};
  double constant = constantTerm(2);
  float costA = rowCost(a, 2, 10, constant);
  float costB = rowCost(b, 2, 10, constant);
  EXPECT_EQ(costA, costB);
  double same = mergeDelta(a, a, 2, 10, 10, costA, costA, constant);
  EXPECT_EQ(same, (lnFactorial(21) - lnFactorial(20)) - (double(costA) + double(costA)));
  EXPECT_NEAR(same, -1.752583, 5e-7);
  EXPECT_EQ(mergeDelta(a, b, 2, 10, 10, costA, costB, constant),
            mergeDelta(b, a, 2, 10, 10, costB, costA, constant));
  EXPECT_GT(mergeDelta(a, b, 2, 10, 10, costA, costB, constant), 0.0);
}

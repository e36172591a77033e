#include "extended_real.h"

static const Reciprocal* buildReciprocals() {
  static Reciprocal table[kMaxSmallDivisor + 1];
  for (uint32_t d = 1; d <= kMaxSmallDivisor; d++) {
    int bits = 64 - leadingZeros64(d);
    Fixed power = Fixed(1) << (64 + 2 * bits);
    Fixed multiplier = (power + d - 1) / d;
    table[d] = Reciprocal{uint64_t(multiplier), uint64_t(multiplier >> 64), bits};
  }
  return table;
}

const Reciprocal* const reciprocals = buildReciprocals();

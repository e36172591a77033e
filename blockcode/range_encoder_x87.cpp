// The hardware path: the x87 80-bit format with its precision control set to
// 64 bits and its rounding control to toward zero.
//
// This file is compiled with -frounding-math, so the compiler neither folds
// nor reorders arithmetic on the assumption of round-to-nearest. The control
// word is set on entry and restored on exit of each batch, so nothing else in
// the process ever sees the changed mode; the asm statements clobber memory,
// and the state is loaded from and stored to memory between them, so no
// arithmetic of the batch can move outside. The x87 keeps long double values
// at their own 64-bit precision in registers and in 80-bit spills, so there is
// no excess precision to worry about. The conversions at the ends of a batch
// are exact (the values have at most 64 significant bits) and so do not
// depend on the rounding mode.
#include <cfloat>

#include "cumulative_counts.h"
#include "range_encoder.h"

#if (defined(__x86_64__) || defined(__i386__)) && LDBL_MANT_DIG == 64

// Control word bits 0-5 mask the exceptions, bits 8-9 = 11 select the 64-bit
// significand, bits 10-11 = 11 round toward zero.
constexpr uint16_t kExtendedTowardZero = 0x0F3F;

static uint16_t readControlWord() {
  uint16_t control;
  __asm__ volatile("fnstcw %0" : "=m"(control) : : "memory");
  return control;
}

static void loadControlWord(uint16_t control) {
  __asm__ volatile("fldcw %0" : : "m"(control) : "memory");
}

// Truncating conversion with the rounding control already toward zero.
static int64_t truncateToInt64(long double value) {
  int64_t result;
  __asm__("fistpll %0" : "=m"(result) : "t"(value) : "st");
  return result;
}

static long double fixedToLongDouble(Fixed value) {
  // Both parts are exact, and so is their sum: it has at most 64 significant
  // bits.
  return (long double)integerPart(value) + (long double)uint64_t(value) * 0x1p-64L;
}

static Fixed longDoubleToFixed(long double value) {
  uint64_t integer = uint64_t(truncateToInt64(value));  // value < 2^63
  long double fraction = value - (long double)integer;  // exact
  // fraction * 2^64 is an integer below 2^64; shifted into the signed range
  // it converts exactly.
  int64_t fractionBits = truncateToInt64(fraction * 0x1p64L - 0x1p63L);
  return fixedFromInteger(integer) | (uint64_t(fractionBits) ^ (uint64_t(1) << 63));
}

// The biased base low = U - 2^63, an integer in [-2^63, 2^63).
static long double baseToLow(uint64_t base) { return (long double)int64_t(base ^ (uint64_t(1) << 63)); }

static uint64_t lowToBase(long double low) {
  return uint64_t(truncateToInt64(low)) ^ (uint64_t(1) << 63);
}

template <class Source>
static void encodeHardware(RangeEncoder* encoder, Source& source, uint32_t count) {
  const uint16_t saved = readControlWord();
  loadControlWord(kExtendedTowardZero);
  const long double roundUp = 9223372036854775809.0L;    // 2^63 + 1
  const long double roundDown = 9223372036854775808.0L;  // 2^63
  long double range = fixedToLongDouble(encoder->range);
  long double low = baseToLow(encoder->base);
  for (uint32_t i = 0; i < count; i++) {
    SymbolInterval symbol = source.symbolAt(i);
    long double r = range / (long double)symbol.total;
    long double hi = r * (long double)symbol.cumHigh;
    long double lo = r * (long double)symbol.cumLow;
    long double step = (lo + roundUp) - roundDown;
    low = low + step;
    range = hi - step;
    if (range < 2147483648.0L) {
      encoder->range = longDoubleToFixed(range);
      encoder->base = lowToBase(low);
      normalise(encoder);
      range = fixedToLongDouble(encoder->range);
      low = baseToLow(encoder->base);
    }
  }
  encoder->range = longDoubleToFixed(range);
  encoder->base = lowToBase(low);
  loadControlWord(saved);
}

void encodeIntervalsHardware(RangeEncoder* encoder, const SymbolInterval* intervals,
                             uint32_t count) {
  IntervalSource source{intervals};
  encodeHardware(encoder, source, count);
}

void encodeBlockHardware(RangeEncoder* encoder, const uint8_t* block, uint32_t blockLength,
                         const int32_t* counts) {
  BlockSource source(block, counts);
  encodeHardware(encoder, source, blockLength);
}

bool hardwareArithmeticAvailable() { return true; }

#else

// No x87 format on this host: the integer model is the only path.
void encodeIntervalsHardware(RangeEncoder* encoder, const SymbolInterval* intervals,
                             uint32_t count) {
  encodeIntervalsSoftware(encoder, intervals, count);
}

void encodeBlockHardware(RangeEncoder* encoder, const uint8_t* block, uint32_t blockLength,
                         const int32_t* counts) {
  encodeBlockSoftware(encoder, block, blockLength, counts);
}

bool hardwareArithmeticAvailable() { return false; }

#endif

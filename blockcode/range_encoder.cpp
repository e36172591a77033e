#include "range_encoder.h"

#include "fileio.h"

constexpr uint64_t kNormaliseBelow = uint64_t(1) << 31;

void startEncoder(RangeEncoder* encoder, uint8_t* codeBuffer) {
  encoder->range = fixedFromInteger(0x7FFFFFFFFFFFFFFFu);
  encoder->base = 0;
  encoder->heldWord = 0;
  encoder->pendingCount = 0;
  encoder->codeBuffer = codeBuffer;
  encoder->codeBytes = 0;
}

static void appendWord(RangeEncoder* encoder, uint32_t word) {
  storeU32LE(word, encoder->codeBuffer + encoder->codeBytes);
  encoder->codeBytes += 4;
}

void shiftOut(RangeEncoder* encoder) {
  uint64_t base = encoder->base;
  uint32_t carry = uint32_t(base >> 63);
  uint32_t word = uint32_t(base >> 31);
  encoder->base = (base & 0x7FFFFFFFu) << 32;
  if (word == 0xFFFFFFFFu) {
    encoder->pendingCount++;
    return;
  }
  appendWord(encoder, encoder->heldWord + carry);
  uint32_t deferred = carry ? 0u : 0xFFFFFFFFu;
  for (; encoder->pendingCount > 0; encoder->pendingCount--) appendWord(encoder, deferred);
  encoder->heldWord = word;
}

void normalise(RangeEncoder* encoder) {
  uint64_t integer = integerPart(encoder->range);
  encoder->range = fixedFromInteger(integer << 32 | 0xFFFFFFFFu);
  shiftOut(encoder);
}

// One symbol of the integer model. The base moves by step = floor(lo) + 1,
// which is what (lo + (2^63 + 1)) - 2^63 gives in the format: the sum lies
// in [2^63, 2^64), where the spacing is 1 and truncation takes the floor.
// floor of the truncated product equals floor of the exact one, since
// truncation never crosses the integer below (integers are exact), so the
// low product needs no rounding of its own.
void encodeSymbol(RangeEncoder* encoder, uint32_t cumLow, uint32_t cumHigh, uint32_t total) {
  Fixed r = extendedDivide(encoder->range, total);
  Fixed hi = extendedMultiply(r, cumHigh);
  uint64_t step = integerPart(r * cumLow) + 1;
  encoder->base += step;
  encoder->range = extendedSubtract(hi, fixedFromInteger(step));
  if (integerPart(encoder->range) < kNormaliseBelow) normalise(encoder);
}

// The same steps with the division done by multiplication (exact, see
// extendedDivideBySmall) and the state kept in registers.
void encodeIntervalsSoftware(RangeEncoder* encoder, const SymbolInterval* intervals,
                             uint32_t count) {
  Fixed range = encoder->range;
  uint64_t base = encoder->base;
  for (uint32_t i = 0; i < count; i++) {
    const SymbolInterval& symbol = intervals[i];
    Fixed r = extendedDivideBySmall(range, symbol.total);
    Fixed hi = extendedMultiply(r, symbol.cumHigh);
    uint64_t step = integerPart(r * symbol.cumLow) + 1;
    base += step;
    range = extendedSubtract(hi, fixedFromInteger(step));
    if (integerPart(range) < kNormaliseBelow) {
      encoder->range = range;
      encoder->base = base;
      normalise(encoder);
      range = encoder->range;
      base = encoder->base;
    }
  }
  encoder->range = range;
  encoder->base = base;
}

void encodeIntervals(RangeEncoder* encoder, const SymbolInterval* intervals, uint32_t count,
                     Arithmetic arithmetic) {
  if (arithmetic == Arithmetic::kHardware)
    encodeIntervalsHardware(encoder, intervals, count);
  else
    encodeIntervalsSoftware(encoder, intervals, count);
}

void finishEncoder(RangeEncoder* encoder) {
  encoder->base += 1;
  shiftOut(encoder);
  shiftOut(encoder);
  shiftOut(encoder);
}

Arithmetic fastestArithmetic() { return Arithmetic::kSoftware; }

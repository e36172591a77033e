#include "range_encoder.h"

#include "cumulative_counts.h"
#include "fileio.h"

// The batch paths look a symbol's total up in kReciprocals: totals reach the
// block size.
static_assert(kMaxSmallDivisor >= kBlockSize && kBlockSize <= kMaxTotal, "every total of a block has a reciprocal");

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

// The integer model's steps for many symbols, made fast; each shortcut
// gives the same bits as encodeSymbol:
// - The division is a multiplication (extendedDivideBySmall; the same steps
//   are spelt out here on 64-bit words). r = Q' * 2^s in fixed-point units,
//   where Q' is Q = floor(m * 2^b / d) with its last bit cleared when Q has
//   65 bits (truncation to 64 bits), and s = 64 - zeros - b in [20, 62].
// - hi = RZ(r * cumHigh) = RZ(Q' * cumHigh) * 2^s: truncation commutes with
//   the power of two. Q' * cumHigh has at most 77 bits; the bits beyond the
//   64 leading ones are cleared. Their number is that of q64 * cumHigh
//   (ProductBits), plus one when Q' has 65 bits.
// - step = floor(r * cumLow) + 1 = floor(Q' * cumLow / 2^(64-s)) + 1.
// - range = hi - step needs no rounding: hi < 2^63, so its last bit is
//   worth 2^-1 or less and step, an integer, is a multiple of it; the
//   difference is a non-negative multiple below hi, so it fits 64 bits of
//   that same spacing exactly.
// The high and low words of a * b.
static inline void multiply64(uint64_t a, uint64_t b, uint64_t* high, uint64_t* low) {
  Fixed product = Fixed(a) * b;
  *high = uint64_t(product >> 64);
  *low = uint64_t(product);
}

template <class Source>
static void encodeSoftware(RangeEncoder* encoder, Source& source, uint32_t count) {
  uint64_t high = integerPart(encoder->range);
  uint64_t low = uint64_t(encoder->range);
  uint64_t base = encoder->base;
  for (uint32_t i = 0; i < count; i++) {
    SymbolInterval symbol = source.symbolAt(i);
    const Reciprocal& reciprocal = kReciprocals.entry[symbol.total];
    int b = reciprocal.bits;                 // 1..12
    int zeros = __builtin_clzll(high);       // 1..32: 2^31 <= range < 2^63
    uint64_t m = (high << zeros) | (low >> (64 - zeros));

    // (productHigh, productLow) = floor(m * M / 2^64); Q = that >> b.
    uint64_t ignored, crossHigh, productHigh, productLow;
    multiply64(m, reciprocal.low, &crossHigh, &ignored);
    multiply64(m, reciprocal.high, &productHigh, &productLow);
    productLow += crossHigh;
    productHigh += productLow < crossHigh;
    uint64_t qHigh = productHigh >> b;       // 0 or 1
    uint64_t qLow = ((productLow >> b) | (productHigh << (64 - b))) & ~qHigh;
    int s = 64 - zeros - b;

    // P = Q' * cumHigh, cut to 64 significant bits.
    uint64_t pHigh, pLow;
    multiply64(qLow, symbol.cumHigh, &pHigh, &pLow);
    pHigh += symbol.cumHigh & (0 - qHigh);   // below 2^14
    uint64_t q64 = (qLow >> qHigh) | (qHigh << 63);  // Q' cut to its 64 bits
    int cut = productCut(q64, symbol.cumHigh) + int(qHigh);
    pLow &= ~uint64_t(0) << cut;

    // step = floor(Q' * cumLow / 2^(64-s)) + 1.
    uint64_t lHigh, lLow;
    multiply64(qLow, symbol.cumLow, &lHigh, &lLow);
    lHigh += symbol.cumLow & (0 - qHigh);
    uint64_t step = ((lLow >> (64 - s)) | (lHigh << s)) + 1;

    base += step;
    high = ((pHigh << s) | (pLow >> (64 - s))) - step;
    low = pLow << s;
    if (high < kNormaliseBelow) {
      // normalise(), with the range kept in registers: its integer part is
      // `high`, and the fraction goes.
      high = high << 32 | 0xFFFFFFFFu;
      low = 0;
      encoder->base = base;
      shiftOut(encoder);
      base = encoder->base;
    }
  }
  encoder->range = (Fixed(high) << 64) | low;
  encoder->base = base;
}

void encodeIntervalsSoftware(RangeEncoder* encoder, const SymbolInterval* intervals,
                             uint32_t count) {
  IntervalSource source{intervals};
  encodeSoftware(encoder, source, count);
}

void encodeBlockSoftware(RangeEncoder* encoder, const uint8_t* block, uint32_t blockLength,
                         const int32_t* counts) {
  BlockSource source(block, counts);
  encodeSoftware(encoder, source, blockLength);
}

void encodeBlock(RangeEncoder* encoder, const uint8_t* block, uint32_t blockLength,
                 const int32_t* counts, Arithmetic arithmetic) {
  if (arithmetic == Arithmetic::kHardware)
    encodeBlockHardware(encoder, block, blockLength, counts);
  else
    encodeBlockSoftware(encoder, block, blockLength, counts);
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

// Measured with build/blockcode_parts: the integer path codes about 1.7
// times as fast as the x87 one on x86-64, and it is the only one elsewhere.
Arithmetic fastestArithmetic() { return Arithmetic::kSoftware; }

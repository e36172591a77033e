#include "range_encoder.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <random>
#include <vector>

#include "fileio.h"

static std::vector<uint32_t> streamWords(const RangeEncoder& encoder) {
  std::vector<uint32_t> words;
  for (uint32_t offset = 0; offset < encoder.codeBytes; offset += 4)
    words.push_back(loadU32LE(encoder.codeBuffer + offset));
  return words;
}

TEST(RangeEncoder, FinishRightAfterStartWritesThreeFlushWords) {
  std::vector<uint8_t> buffer(64);
  RangeEncoder encoder;
  startEncoder(&encoder, buffer.data());
  finishEncoder(&encoder);
  EXPECT_EQ(streamWords(encoder), (std::vector<uint32_t>{0, 0, 2}));
}

TEST(RangeEncoder, SymbolAtTheBottomMovesTheBaseByOne) {
  std::vector<uint8_t> buffer(64);
  RangeEncoder encoder;
  startEncoder(&encoder, buffer.data());
  for (uint32_t total : {2048u, 7u, 1u}) {
    uint64_t before = encoder.base;
    encodeSymbol(&encoder, 0, 1, total);
    EXPECT_EQ(encoder.base, before + 1) << "total " << total;
  }
}

// Sets U so that the next shift-out yields `word` with `carry`.
static void setNextWord(RangeEncoder* encoder, uint32_t word, uint32_t carry) {
  encoder->base = uint64_t(carry) << 63 | uint64_t(word) << 31;
}

TEST(RangeEncoder, DeferredAllOnesWordsResolveWithTheCarry) {
  for (uint32_t carry : {0u, 1u}) {
    std::vector<uint8_t> buffer(64);
    RangeEncoder encoder;
    startEncoder(&encoder, buffer.data());
    setNextWord(&encoder, 0x12345678u, 0);
    shiftOut(&encoder);  // writes the initial 0, holds 0x12345678
    for (int i = 0; i < 3; i++) {
      setNextWord(&encoder, 0xFFFFFFFFu, 0);
      shiftOut(&encoder);
    }
    EXPECT_EQ(encoder.pendingCount, 3u);
    EXPECT_EQ(encoder.codeBytes, 4u) << "deferred words are not written yet";
    setNextWord(&encoder, 0xABCDEF00u, carry);
    shiftOut(&encoder);
    uint32_t deferred = carry ? 0u : 0xFFFFFFFFu;
    EXPECT_EQ(streamWords(encoder),
              (std::vector<uint32_t>{0, 0x12345678u + carry, deferred, deferred, deferred}));
    EXPECT_EQ(encoder.heldWord, 0xABCDEF00u);
    EXPECT_EQ(encoder.pendingCount, 0u);
  }
}

TEST(ExtendedReal, TruncatesToSixtyFourSignificantBits) {
  Fixed one = fixedFromInteger(1);
  EXPECT_EQ(truncateToSignificand(one + 1), one) << "1 + 2^-64 needs 65 bits";
  EXPECT_EQ(truncateToSignificand(one + 2), one + 2);
  Fixed big = fixedFromInteger(uint64_t(1) << 62) + (Fixed(1) << 63) + 1;  // 2^62 + 1/2 + 2^-64
  EXPECT_EQ(truncateToSignificand(big), fixedFromInteger(uint64_t(1) << 62) + (Fixed(1) << 63));
  Fixed odd = fixedFromInteger(0xFFFFFFFFFFFFFFFFu) + 5;
  EXPECT_EQ(truncateToSignificand(odd), fixedFromInteger(0xFFFFFFFFFFFFFFFFu));
  EXPECT_TRUE(isExtendedExact(fixedFromInteger(0x7FFFFFFFFFFFFFFFu)));
  EXPECT_FALSE(isExtendedExact(fixedFromInteger(uint64_t(1) << 40) + 1));
}

// Random exact extended values in [2^31, 2^63): a 64-bit significand placed
// at a random exponent.
static Fixed randomRange(std::mt19937_64& random) {
  uint64_t significand = random() | uint64_t(1) << 63;
  int exponent = 31 + int(random() % 32);  // leading bit 2^exponent
  return Fixed(significand) << (exponent + 1);
}

TEST(ExtendedReal, DivisionByMultiplicationMatchesTheDivision) {
  std::mt19937_64 random(7);
  for (uint32_t divisor = 1; divisor <= kMaxSmallDivisor; divisor++) {
    for (int i = 0; i < 500; i++) {
      Fixed value = randomRange(random);
      ASSERT_EQ(extendedDivideBySmall(value, divisor), extendedDivide(value, divisor))
          << "divisor " << divisor;
    }
    // Extremes of the significand and of the exponent.
    for (Fixed value : {fixedFromInteger(uint64_t(1) << 31), fixedFromInteger(0x7FFFFFFFFFFFFFFFu),
                        Fixed(~uint64_t(0)) << 63, Fixed(~uint64_t(0)) << 32,
                        Fixed(divisor) << 100})
      ASSERT_EQ(extendedDivideBySmall(value, divisor), extendedDivide(value, divisor))
            << "divisor " << divisor;
  }
}

static int bitLength(Fixed value) {
  uint64_t high = integerPart(value);
  return high ? 128 - leadingZeros64(high) : 64 - leadingZeros64(uint64_t(value));
}

TEST(ExtendedReal, ProductCutMatchesTheProductsBitLength) {
  std::mt19937_64 random(17);
  for (uint32_t factor = 1; factor <= kMaxSmallDivisor; factor++) {
    uint64_t threshold = kProductBits.entry[factor].threshold;
    std::vector<uint64_t> qs = {uint64_t(1) << 63, ~uint64_t(0), threshold, threshold + 1};
    for (int i = 0; i < 300; i++) qs.push_back(random() | uint64_t(1) << 63);
    for (uint64_t q : qs) {
      if (q < uint64_t(1) << 63) continue;  // threshold + 1 may wrap
      ASSERT_EQ(productCut(q, factor), bitLength(Fixed(q) * factor) - 64) << q << " * " << factor;
    }
  }
}

// A random symbol of the kind the block coder codes, with skewed sizes:
// often the whole total, often a single count.
static SymbolInterval randomSymbol(std::mt19937_64& random) {
  uint32_t total = 1 + uint32_t(random() % 2048);
  if (random() % 4 == 0) total = 2048;
  uint32_t size;
  switch (random() % 4) {
    case 0: size = 1; break;
    case 1: size = total; break;
    default: size = 1 + uint32_t(random() % total);
  }
  uint32_t cumLow = uint32_t(random() % (total - size + 1));
  return SymbolInterval{cumLow, cumLow + size, total};
}

static void expectSameState(const RangeEncoder& a, const RangeEncoder& b, const char* what) {
  EXPECT_TRUE(a.range == b.range) << what;
  EXPECT_EQ(a.base, b.base) << what;
  EXPECT_EQ(a.heldWord, b.heldWord) << what;
  EXPECT_EQ(a.pendingCount, b.pendingCount) << what;
  ASSERT_EQ(a.codeBytes, b.codeBytes) << what;
  EXPECT_EQ(memcmp(a.codeBuffer, b.codeBuffer, a.codeBytes), 0) << what;
}

// Codes the same millions of random symbols with the reference, the fast
// integer path and (where it exists) the x87 path, in batches of random
// length, and compares the whole state after each batch.
TEST(RangeEncoder, AllArithmeticPathsAgreeOnRandomSymbols) {
  std::mt19937_64 random(2024);
  const uint32_t kSymbols = 3000000;
  std::vector<SymbolInterval> symbols(kSymbols);
  for (SymbolInterval& symbol : symbols) symbol = randomSymbol(random);
  std::vector<uint8_t> reference(4 * size_t(kSymbols)), software(reference.size()),
      hardware(reference.size());
  RangeEncoder a, b, c;
  startEncoder(&a, reference.data());
  startEncoder(&b, software.data());
  startEncoder(&c, hardware.data());
  bool withHardware = hardwareArithmeticAvailable();
  for (uint32_t done = 0; done < kSymbols;) {
    uint32_t batch = std::min<uint32_t>(kSymbols - done, 1 + uint32_t(random() % 5000));
    for (uint32_t i = done; i < done + batch; i++)
      encodeSymbol(&a, symbols[i].cumLow, symbols[i].cumHigh, symbols[i].total);
    encodeIntervalsSoftware(&b, &symbols[done], batch);
    expectSameState(a, b, "software");
    if (withHardware) {
      encodeIntervalsHardware(&c, &symbols[done], batch);
      expectSameState(a, c, "hardware");
    }
    ASSERT_FALSE(HasFailure()) << "after symbol " << done;
    done += batch;
  }
  finishEncoder(&a);
  finishEncoder(&b);
  expectSameState(a, b, "software");
  if (withHardware) {
    finishEncoder(&c);
    expectSameState(a, c, "hardware");
  }
  std::vector<uint32_t> words = streamWords(a);
  EXPECT_EQ(words.front(), 0u);
  EXPECT_EQ(words.back() % 2, 0u);
  if (!withHardware) GTEST_SKIP() << "no x87 format on this host: only the integer paths compared";
}

TEST(RangeEncoder, InvariantsHoldAfterEverySymbol) {
  std::mt19937_64 random(99);
  std::vector<uint8_t> buffer(4 * 200000 + 64);
  RangeEncoder encoder;
  startEncoder(&encoder, buffer.data());
  for (int i = 0; i < 200000; i++) {
    SymbolInterval symbol = randomSymbol(random);
    encodeSymbol(&encoder, symbol.cumLow, symbol.cumHigh, symbol.total);
    ASSERT_TRUE(isExtendedExact(encoder.range));
    ASSERT_GE(integerPart(encoder.range), uint64_t(1) << 31);
    ASSERT_LT(integerPart(encoder.range), uint64_t(1) << 63);
    if (encoder.codeBytes > 0) {
      Fixed top = Fixed(encoder.base) << 64;
      ASSERT_TRUE(top + encoder.range < Fixed(~uint64_t(0) - 0xFFFFFFFFu) << 64) << "U + range";
    }
    ASSERT_NE(encoder.heldWord, 0xFFFFFFFFu);
  }
}

// Batches of one symbol: the state crosses the batch boundary (and, for the
// x87, the conversions in and out) after every symbol.
TEST(RangeEncoder, SingleSymbolBatchesAgreeWithTheReference) {
  std::mt19937_64 random(5);
  std::vector<uint8_t> one(1 << 20), two(1 << 20), three(1 << 20);
  RangeEncoder a, b, c;
  startEncoder(&a, one.data());
  startEncoder(&b, two.data());
  startEncoder(&c, three.data());
  for (int i = 0; i < 100000; i++) {
    SymbolInterval symbol = randomSymbol(random);
    encodeSymbol(&a, symbol.cumLow, symbol.cumHigh, symbol.total);
    encodeIntervalsSoftware(&b, &symbol, 1);
    if (hardwareArithmeticAvailable()) encodeIntervalsHardware(&c, &symbol, 1);
  }
  expectSameState(a, b, "software");
  if (hardwareArithmeticAvailable()) expectSameState(a, c, "hardware");
}

// Totals up to kMaxTotal take the reference path; the stream still obeys
// the invariants (checked above for the block coder's totals).
TEST(RangeEncoder, AcceptsTotalsUpToTheLimit) {
  std::mt19937_64 random(11);
  std::vector<uint8_t> buffer(4 * 100000 + 64);
  RangeEncoder encoder;
  startEncoder(&encoder, buffer.data());
  for (int i = 0; i < 100000; i++) {
    uint32_t total = kMaxTotal - uint32_t(random() % 1000);
    uint32_t cumHigh = 1 + uint32_t(random() % total);
    uint32_t cumLow = random() % 2 ? cumHigh - 1 : uint32_t(random() % cumHigh);
    encodeSymbol(&encoder, cumLow, cumHigh, total);
    ASSERT_TRUE(isExtendedExact(encoder.range));
    ASSERT_GE(integerPart(encoder.range), uint64_t(1) << 31);
  }
  finishEncoder(&encoder);
  EXPECT_EQ(loadU32LE(encoder.codeBuffer), 0u);
  EXPECT_EQ(loadU32LE(encoder.codeBuffer + encoder.codeBytes - 4) % 2, 0u);
}

#if (defined(__x86_64__) || defined(__i386__))
static uint16_t x87ControlWord() {
  uint16_t control;
  __asm__ volatile("fnstcw %0" : "=m"(control));
  return control;
}

TEST(RangeEncoder, HardwarePathLeavesTheRoundingModeAlone) {
  if (!hardwareArithmeticAvailable()) GTEST_SKIP() << "no x87 format on this host";
  uint16_t before = x87ControlWord();
  int roundingBefore = fegetround();
  std::vector<uint8_t> buffer(64);
  RangeEncoder encoder;
  startEncoder(&encoder, buffer.data());
  SymbolInterval symbols[3] = {{0, 5, 2048}, {1, 2, 7}, {3, 4, 2047}};
  encodeIntervalsHardware(&encoder, symbols, 3);
  EXPECT_EQ(x87ControlWord(), before);
  EXPECT_EQ(fegetround(), roundingBefore);
  volatile long double third = 1.0L;
  EXPECT_EQ(third / 3 * 3, 1.0L) << "round to nearest again";
}
#endif

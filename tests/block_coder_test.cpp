#include "block_coder.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "blockcode_reference.h"
#include "cumulative_counts.h"
#include "fileio.h"
#include "test_support.h"

using Bytes = std::vector<uint8_t>;
using Words = std::vector<uint32_t>;

static Bytes repeated(size_t count, uint8_t value) { return Bytes(count, value); }

static Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The core with both arithmetic paths and the plain reference must all give
// `expected` (when given) and agree with each other.
static void expectStream(const Bytes& input, const Words* expected) {
  ReferenceResult reference = referenceBlockcode(input.data(), uint32_t(input.size()));
  for (int arithmetic = 0; arithmetic < 2; arithmetic++) {
    ReferenceResult core = coreBlockcode(input.data(), uint32_t(input.size()), arithmetic);
    EXPECT_EQ(core.stream, reference.stream) << "arithmetic " << arithmetic;
    EXPECT_EQ(core.rows, reference.rows) << "arithmetic " << arithmetic;
    EXPECT_LE(core.stream.size(), codeBufferBytes(uint32_t(input.size())));
  }
  if (expected) {
    EXPECT_EQ(wordsOf(reference.stream), *expected);
  }
}

TEST(BlockCoder, CodesTheSmallInputsToTheirKnownStreams) {
  Words empty = {0, 0, 2};
  expectStream({}, &empty);
  Words single = {0, 0, 4};
  for (int value : {0, 1, 127, 255}) expectStream({uint8_t(value)}, &single);
  Words block = {0, 0, 0x1002};
  expectStream(repeated(2048, 'e'), &block);
  Words blockAndOne = {0, 0, 0x1004};
  expectStream(repeated(2049, 'e'), &blockAndOne);
  Bytes ascending;
  for (int value = 0; value < 15; value++) ascending.push_back(uint8_t(value));
  Words fifteen = {0, 0, 6, 6, 6, 6, 6, 2};
  expectStream(ascending, &fifteen);
  // The first normalisation yields an all-ones word: deferred, then written
  // after the initial 0.
  Words deferred = {0, 0xFFFFFFFFu, 0xFE7EDF68u, 0x00000FFAu};
  expectStream(concat(repeated(4, 0xFF), repeated(2044, 0x00)), &deferred);
}

TEST(BlockCoder, ShortInputsFitTheirCodeBuffer) {
  // Every length up to 40 with all-distinct and with random bytes; the
  // buffer is exactly codeBufferBytes long, so an overrun would corrupt the
  // vector's neighbour (and trips the sanitizers).
  std::mt19937 random(3);
  for (uint32_t length = 0; length <= 40; length++) {
    Bytes distinct, noise;
    for (uint32_t i = 0; i < length; i++) {
      distinct.push_back(uint8_t(i * 7));
      noise.push_back(uint8_t(random()));
    }
    for (const Bytes& input : {distinct, noise}) {
      Bytes buffer(codeBufferBytes(length));
      uint32_t bytes = codeBlocks(input.data(), length, buffer.data(), fastestArithmetic(),
                                  [](const int32_t*, void*) {}, nullptr);
      EXPECT_LE(bytes, buffer.size());
      EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + bytes),
                referenceBlockcode(input.data(), length).stream);
    }
  }
}

TEST(BlockCoder, RowsHoldTheCompleteCountsOfEachBlock) {
  Bytes input = concat(repeated(2048, 'x'), {'y'});
  ReferenceResult core = coreBlockcode(input.data(), uint32_t(input.size()), 0);
  ASSERT_EQ(core.rows.size(), 2u * 256);
  EXPECT_EQ(core.rows['x'], 2048);
  EXPECT_EQ(core.rows[256 + 'y'], 1);
  int32_t secondRowSum = 0;
  for (int i = 0; i < 256; i++) secondRowSum += core.rows[256 + i];
  EXPECT_EQ(secondRowSum, 1) << "the last row sums to the short block's length";

  std::mt19937 random(8);
  Bytes noise(3 * 2048 + 100);
  for (uint8_t& byte : noise) byte = uint8_t(random() % 9);
  ReferenceResult rows = coreBlockcode(noise.data(), uint32_t(noise.size()), 0);
  ASSERT_EQ(rows.rows.size(), 4u * 256);
  for (int block = 0; block < 4; block++) {
    int32_t sum = 0;
    for (int i = 0; i < 256; i++) sum += rows.rows[256 * block + i];
    EXPECT_EQ(sum, block < 3 ? 2048 : 100);
  }
}

TEST(BlockCoder, IntervalsFollowTheLoweredCounts) {
  // A full block of one value: every byte is the whole remaining total.
  Bytes same = repeated(2048, 'q');
  int32_t counts[256];
  countBlock(same.data(), 2048, counts);
  std::vector<SymbolInterval> intervals(2048);
  blockIntervals(same.data(), 2048, counts, intervals.data());
  for (uint32_t i = 0; i < 2048; i++) {
    ASSERT_EQ(intervals[i].cumLow, 0u);
    ASSERT_EQ(intervals[i].cumHigh, 2048 - i);
    ASSERT_EQ(intervals[i].total, 2048 - i);
  }
  // A short last block: the total still starts at 2048, so cumHigh stays
  // below it.
  countBlock(same.data(), 100, counts);
  blockIntervals(same.data(), 100, counts, intervals.data());
  EXPECT_EQ(intervals[0].cumHigh, 100u);
  EXPECT_EQ(intervals[0].total, 2048u);
  EXPECT_EQ(intervals[99].cumHigh, 1u);
  EXPECT_EQ(intervals[99].total, 1949u);
  // The lone byte of a 2048 + 1 input: size 1 out of 2048.
  Bytes one = {'y'};
  countBlock(one.data(), 1, counts);
  blockIntervals(one.data(), 1, counts, intervals.data());
  EXPECT_EQ(intervals[0].cumHigh - intervals[0].cumLow, 1u);
  EXPECT_EQ(intervals[0].total, 2048u);
}

// The two-level cumulative counts against the plain sum over 0..u-1, on
// blocks drawn from many byte distributions.
TEST(BlockCoder, CumulativeCountsMatchThePlainSum) {
  std::mt19937 random(12);
  std::vector<SymbolInterval> intervals(2048);
  for (int trial = 0; trial < 400; trial++) {
    uint32_t length = trial % 5 == 0 ? 1 + random() % 2048 : 2048;
    int alphabet = 1 + int(random() % 256);
    int offset = int(random() % 256);
    Bytes block(length);
    for (uint8_t& byte : block) byte = uint8_t((offset + int(random() % alphabet)) % 256);
    int32_t counts[256];
    countBlock(block.data(), length, counts);
    blockIntervals(block.data(), length, counts, intervals.data());
    int32_t plain[256];
    memcpy(plain, counts, sizeof plain);
    for (uint32_t i = 0; i < length; i++) {
      int u = block[i];
      uint32_t cumLow = 0;
      for (int v = 0; v < u; v++) cumLow += uint32_t(plain[v]);
      ASSERT_EQ(intervals[i].cumLow, cumLow) << "trial " << trial << " byte " << i;
      ASSERT_EQ(intervals[i].cumHigh, cumLow + uint32_t(plain[u]));
      ASSERT_EQ(intervals[i].total, 2048 - i);
      plain[u]--;
    }
  }
}

// Text-like data after a block sort (bwtLikeBytes): generated, so that no
// corpus file is needed.
static Bytes bwtLike(uint32_t length, uint32_t seed) { return bwtLikeBytes(length, seed); }

TEST(BlockCoder, AllPathsAgreeOnBwtLikeAndNoisyData) {
  expectStream(bwtLike(600000, 1), nullptr);
  expectStream(bwtLike(2048 * 37 + 5, 2), nullptr);
  std::mt19937 random(4);
  Bytes noise(300000);
  for (uint8_t& byte : noise) byte = uint8_t(random());
  expectStream(noise, nullptr);
  Bytes ramps(200000);
  for (size_t i = 0; i < ramps.size(); i++) ramps[i] = uint8_t(i * 131 >> 3);
  expectStream(ramps, nullptr);
}

TEST(BlockCoder, AllPathsAgreeOnTheCorpus) {
  const std::vector<std::string>& files = corpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus beside the project (../shared/corpus)";
  for (const std::string& path : files) {
    Bytes data = readFileBytes(path);
    SCOPED_TRACE(path);
    expectStream(data, nullptr);
    ASSERT_FALSE(HasFailure());
  }
}

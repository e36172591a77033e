#include "block_coder.h"

#include <cstring>

#include "cumulative_counts.h"
#include "fileio.h"

// At most one word is shifted out per symbol, and only when the range has
// dropped below 2^31. A normalised range is at least 2^51 (and the first
// range 2^63 - 1), and one symbol divides it by at most its total (at most
// the block size, 2^11) and takes at most 2 more off, so it stays at or above
// 2^31 for the symbol after a shift-out: at most one shift-out per two
// symbols, plus three from finish(). Every shift-out adds one word to the
// stream except that the last held word is never written, and the initial
// held word is: words <= L/2 + 3.
static_assert(kBlockSize <= (uint32_t(1) << 19), "a normalised range over a block's total stays above 2^31 + 2");
uint64_t codeBufferBytes(uint32_t length) { return 2 * uint64_t(length) + 12; }

// Four partial histograms, so that runs of one value (common after a block
// sort) do not make every increment wait for the previous one.
void countBlock(const uint8_t* block, uint32_t blockLength, int32_t* counts) {
  int32_t partial[4][256] = {};
  uint32_t i = 0;
  for (; i + 4 <= blockLength; i += 4) {
    partial[0][block[i]]++;
    partial[1][block[i + 1]]++;
    partial[2][block[i + 2]]++;
    partial[3][block[i + 3]]++;
  }
  for (; i < blockLength; i++) partial[0][block[i]]++;
  for (int v = 0; v < 256; v++) counts[v] = partial[0][v] + partial[1][v] + partial[2][v] + partial[3][v];
}

void blockIntervals(const uint8_t* block, uint32_t blockLength, const int32_t* counts,
                    SymbolInterval* intervals) {
  BlockSource source(block, counts);
  for (uint32_t i = 0; i < blockLength; i++) intervals[i] = source.symbolAt(i);
}

uint32_t codeBlocks(const uint8_t* data, uint32_t length, uint8_t* codeBuffer,
                    Arithmetic arithmetic, RowSink sink, void* context) {
  RangeEncoder encoder;
  startEncoder(&encoder, codeBuffer);
  int32_t counts[256];
  for (uint32_t offset = 0; offset < length; offset += kBlockSize) {
    uint32_t blockLength = length - offset < kBlockSize ? length - offset : kBlockSize;
    countBlock(data + offset, blockLength, counts);
    sink(counts, context);
    encodeBlock(&encoder, data + offset, blockLength, counts, arithmetic);
  }
  finishEncoder(&encoder);
  return encoder.codeBytes;
}

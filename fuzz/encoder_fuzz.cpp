// The range encoder on arbitrary symbol intervals, not only those block
// statistics make: the batch integer path, the x87 path (where the host has
// it) and encodeSymbol must give the same stream.
//
// Input: 4 bytes per symbol. total = 1 + (bits 0-10), cumLow and cumHigh
// picked inside it from the other bits, so every width from 1 to total
// occurs, including the narrowest intervals at either end.

#include <cstdlib>
#include <vector>

#include "block_coder.h"
#include "fuzz_support.h"

namespace {

const uint32_t kMaxBatchTotal = 2048;

std::vector<uint8_t> finishInto(RangeEncoder* encoder, uint8_t* buffer, size_t capacity) {
  finishEncoder(encoder);
  if (encoder->codeBytes > capacity) fuzzFailure("stream longer than its buffer");
  return std::vector<uint8_t>(buffer, buffer + encoder->codeBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  FuzzReader reader{input, size};
  uint32_t count = uint32_t(size / 4);
  std::vector<SymbolInterval> intervals(count);
  for (SymbolInterval& symbol : intervals) {
    uint32_t word = reader.u32();
    symbol.total = 1 + word % kMaxBatchTotal;
    uint32_t a = (word >> 11) % symbol.total;
    uint32_t b = (word >> 21) % symbol.total;
    if (word & 0x80000000u) b = symbol.total - 1 - (word >> 22) % (symbol.total - a);  // wide ones too
    if (b < a) { uint32_t t = a; a = b; b = t; }
    symbol.cumLow = a;
    symbol.cumHigh = b + 1;
  }

  // At most one word per two symbols plus the flush: the driver's bound.
  size_t capacity = size_t(codeBufferBytes(count));
  uint8_t* buffer = static_cast<uint8_t*>(malloc(capacity));
  RangeEncoder encoder;

  startEncoder(&encoder, buffer);
  for (const SymbolInterval& symbol : intervals)
    encodeSymbol(&encoder, symbol.cumLow, symbol.cumHigh, symbol.total);
  std::vector<uint8_t> reference = finishInto(&encoder, buffer, capacity);

  startEncoder(&encoder, buffer);
  encodeIntervalsSoftware(&encoder, intervals.data(), count);
  if (finishInto(&encoder, buffer, capacity) != reference) fuzzFailure("software batch differs from encodeSymbol");

  if (hardwareArithmeticAvailable()) {
    startEncoder(&encoder, buffer);
    encodeIntervalsHardware(&encoder, intervals.data(), count);
    if (finishInto(&encoder, buffer, capacity) != reference) fuzzFailure("hardware batch differs from encodeSymbol");
  }
  free(buffer);
  return 0;
}

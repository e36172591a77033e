// blockcode's coding driver on arbitrary data: the integer model, the x87
// hardware path (where the host has it) and the reference one-symbol-at-a-
// time encoder must give the same rows and the same stream, and the stream
// must fit the buffer codeBufferBytes sizes for it (exactly that many bytes
// are allocated, so the sanitizer sees any overrun).

#include <cstdlib>
#include <cstring>
#include <vector>

#include "block_coder.h"
#include "fileio.h"
#include "fuzz_support.h"

namespace {

struct Rows {
  std::vector<int32_t> counts;
};

void collectRow(const int32_t* counts, void* context) {
  std::vector<int32_t>& rows = static_cast<Rows*>(context)->counts;
  rows.insert(rows.end(), counts, counts + 256);
}

struct Stream {
  std::vector<uint8_t> bytes;
  Rows rows;
};

Stream codeWith(const uint8_t* data, uint32_t length, Arithmetic arithmetic) {
  size_t capacity = size_t(codeBufferBytes(length));
  uint8_t* buffer = static_cast<uint8_t*>(malloc(capacity));
  Stream stream;
  uint32_t bytes = codeBlocks(data, length, buffer, arithmetic, collectRow, &stream.rows);
  if (bytes > capacity) fuzzFailure("stream longer than its buffer");
  stream.bytes.assign(buffer, buffer + bytes);
  free(buffer);
  return stream;
}

// Every symbol through encodeSymbol, the plain reference.
std::vector<uint8_t> codeReference(const uint8_t* data, uint32_t length) {
  size_t capacity = size_t(codeBufferBytes(length));
  uint8_t* buffer = static_cast<uint8_t*>(malloc(capacity));
  RangeEncoder encoder;
  startEncoder(&encoder, buffer);
  int32_t counts[256];
  SymbolInterval intervals[kBlockSize];
  for (uint32_t offset = 0; offset < length; offset += kBlockSize) {
    uint32_t blockLength = length - offset < kBlockSize ? length - offset : kBlockSize;
    countBlock(data + offset, blockLength, counts);
    blockIntervals(data + offset, blockLength, counts, intervals);
    for (uint32_t i = 0; i < blockLength; i++)
      encodeSymbol(&encoder, intervals[i].cumLow, intervals[i].cumHigh, intervals[i].total);
  }
  finishEncoder(&encoder);
  std::vector<uint8_t> bytes(buffer, buffer + encoder.codeBytes);
  free(buffer);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size > 8 * kBlockSize) return 0;
  uint32_t length = uint32_t(size);
  // An exact-size copy: the driver must not read past the data.
  uint8_t* data = static_cast<uint8_t*>(malloc(length ? length : 1));
  if (length) memcpy(data, input, length);

  Stream software = codeWith(data, length, Arithmetic::kSoftware);
  if (software.rows.counts.size() != size_t(blockCount(length)) * 256) fuzzFailure("one row per block");
  if (codeReference(data, length) != software.bytes)
    fuzzFailure("the integer model's fast path differs from encodeSymbol");
  if (hardwareArithmeticAvailable()) {
    Stream hardware = codeWith(data, length, Arithmetic::kHardware);
    if (hardware.bytes != software.bytes) fuzzFailure("hardware and software streams differ");
    if (hardware.rows.counts != software.rows.counts) fuzzFailure("hardware and software rows differ");
  }
  free(data);
  return 0;
}

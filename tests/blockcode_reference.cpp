#include "blockcode_reference.h"

#include "block_coder.h"
#include "fileio.h"
#include "range_encoder.h"

ReferenceResult referenceBlockcode(const uint8_t* data, uint32_t length) {
  ReferenceResult result;
  result.stream.resize(4 * size_t(length) + 64);
  RangeEncoder encoder;
  startEncoder(&encoder, result.stream.data());
  for (uint32_t offset = 0; offset < length; offset += 2048) {
    uint32_t end = offset + 2048 < length ? offset + 2048 : length;
    int32_t counts[256] = {};
    for (uint32_t i = offset; i < end; i++) counts[data[i]]++;
    result.rows.insert(result.rows.end(), counts, counts + 256);
    int32_t remainingTotal = 2048;
    for (uint32_t i = offset; i < end; i++) {
      int u = data[i];
      int32_t cumLow = 0;
      for (int v = 0; v < u; v++) cumLow += counts[v];
      encodeSymbol(&encoder, uint32_t(cumLow), uint32_t(cumLow + counts[u]), uint32_t(remainingTotal));
      counts[u]--;
      remainingTotal--;
    }
  }
  finishEncoder(&encoder);
  result.stream.resize(encoder.codeBytes);
  return result;
}

static void collectRow(const int32_t* counts, void* context) {
  auto* rows = static_cast<std::vector<int32_t>*>(context);
  rows->insert(rows->end(), counts, counts + 256);
}

ReferenceResult coreBlockcode(const uint8_t* data, uint32_t length, int arithmetic) {
  ReferenceResult result;
  result.stream.resize(codeBufferBytes(length));
  uint32_t bytes = codeBlocks(data, length, result.stream.data(),
                              arithmetic ? Arithmetic::kHardware : Arithmetic::kSoftware,
                              collectRow, &result.rows);
  result.stream.resize(bytes);
  return result;
}

std::vector<uint32_t> wordsOf(const std::vector<uint8_t>& stream) {
  std::vector<uint32_t> words;
  for (size_t offset = 0; offset + 4 <= stream.size(); offset += 4)
    words.push_back(loadU32LE(stream.data() + offset));
  return words;
}

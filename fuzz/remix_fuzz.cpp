// remix's order check and block copy on arbitrary orders and data lengths.
// The verdict is compared with an independent statement of the rule, and an
// accepted order must produce exactly the blocks it names. The inverse's
// check must accept exactly the orders that name every block once, and for
// those the restored data must be the data.
//
// Input: data length (u32, up to 64 blocks), then the order file's bytes.
// The data itself is made from the position (see dataByte), so that every
// output byte can be checked without storing a second copy.

#include <cstdlib>
#include <cstring>
#include <string>

#include "fileio.h"
#include "fuzz_support.h"
#include "remix_core.h"

namespace {

const uint32_t kMaxDataLength = 64 * kBlockSize + 100;

uint8_t dataByte(uint32_t position) { return uint8_t(position * 131 + (position >> 11) * 17 + 5); }

// The rule, stated directly: whole entries only, one per block at least,
// every used entry naming a block of the data.
bool orderIsValid(const uint8_t* order, uint32_t orderLength, uint32_t dataLength) {
  uint32_t blocks = blockCount(dataLength);
  if (orderLength % 4 != 0 || orderLength / 4 < blocks) return false;
  for (uint32_t i = 0; i < blocks; i++)
    if (loadU32LE(order + 4 * i) >= blocks) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  FuzzReader reader{input, size};
  uint32_t dataLength = reader.u32() % (kMaxDataLength + 1);
  uint32_t orderLength = uint32_t(reader.restSize());
  uint8_t* order = copyAsFileBuffer(reader.rest(), orderLength);
  uint8_t* data = static_cast<uint8_t*>(malloc(dataLength + 1));
  for (uint32_t i = 0; i < dataLength; i++) data[i] = dataByte(i);

  std::string error;
  bool accepted = checkOrder(order, orderLength, dataLength, &error);
  if (accepted != orderIsValid(order, orderLength, dataLength))
    fuzzFailure(accepted ? "accepted a bad order" : "refused a good order");
  if (!accepted && (error.empty() || error.find('\n') != std::string::npos))
    fuzzFailure("refusal without a one-line reason");

  if (accepted) {
    uint32_t blocks = blockCount(dataLength);
    uint32_t outLength = remixedLength(order, dataLength);
    uint8_t* out = static_cast<uint8_t*>(malloc(outLength + 1));
    remixInto(data, dataLength, order, out);
    uint32_t at = 0;
    bool permutation = true;
    std::string seen(blocks, '\0');
    for (uint32_t i = 0; i < blocks; i++) {
      uint32_t block = loadU32LE(order + 4 * i);
      uint32_t start = block << kBlockShift;
      uint32_t length = dataLength - start < kBlockSize ? dataLength - start : kBlockSize;
      BlockSpan span = sourceBlock(order, i, dataLength);
      if (span.start != start || span.length != length) fuzzFailure("sourceBlock names another block");
      if (at + length > outLength) fuzzFailure("remixed length too short");
      for (uint32_t k = 0; k < length; k++)
        if (out[at + k] != dataByte(start + k)) fuzzFailure("wrong byte in the remixed data");
      at += length;
      permutation = permutation && !seen[block];
      seen[block] = 1;
    }
    if (at != outLength) fuzzFailure("remixed length differs from the blocks written");
    if (permutation && outLength != dataLength) fuzzFailure("a permutation changed the length");

    std::string inverseError;
    if (checkPermutation(order, orderLength, dataLength, &inverseError) != permutation)
      fuzzFailure(permutation ? "the inverse refused a permutation" : "the inverse accepted a repeated block");
    if (permutation) {
      uint8_t* back = static_cast<uint8_t*>(malloc(dataLength + 1));
      restoreInto(out, dataLength, order, back);
      for (uint32_t k = 0; k < dataLength; k++)
        if (back[k] != dataByte(k)) fuzzFailure("the inverse did not restore the data");
      free(back);
    } else if (inverseError.empty() || inverseError.find('\n') != std::string::npos) {
      fuzzFailure("inverse refusal without a one-line reason");
    }
    free(out);
  }
  free(data);
  freeFileBuffer(order);
  return 0;
}

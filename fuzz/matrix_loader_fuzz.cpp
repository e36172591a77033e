// The count-matrix loader on arbitrary files: it either refuses the file or
// returns a matrix whose every count lies inside the file, converted to host
// order.

#include <cstring>
#include <string>

#include "fileio.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxFileLength) return 0;
  uint8_t* buffer = copyAsFileBuffer(data, size);
  CountMatrix matrix;
  std::string error;
  bool accepted = parseCountMatrix(buffer, uint32_t(size), &matrix, &error);
  if (!accepted) {
    if (error.empty()) fuzzFailure("refused without a reason");
    if (error.find('\n') != std::string::npos) fuzzFailure("reason spans lines");
  } else {
    uint64_t cells = uint64_t(matrix.columns) * matrix.rows;
    if (size < 8 || cells > (size - 8) / 4) fuzzFailure("accepted a matrix larger than its file");
    if (matrix.columns != loadU32LE(data) || matrix.rows != loadU32LE(data + 4))
      fuzzFailure("header words misread");
    // Touch every count (the sanitizer checks the bounds) and compare it with
    // the little-endian word in the file.
    for (uint64_t i = 0; i < cells; i++) {
      if (uint32_t(matrix.counts[i]) != loadU32LE(data + 8 + 4 * i)) fuzzFailure("count misread");
    }
  }
  freeFileBuffer(buffer);
  return 0;
}

#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

uint8_t* copyAsFileBuffer(const uint8_t* data, size_t size) {
  // Same padding as readWholeFile: whole words plus at least one zero byte.
  size_t padded = (size + 8) & ~size_t(3);
  uint8_t* buffer = static_cast<uint8_t*>(calloc(padded, 1));
  if (!buffer) fuzzFailure("cannot allocate the input copy");
  if (size) memcpy(buffer, data, size);
  return buffer;
}

void freeFileBuffer(uint8_t* buffer) { free(buffer); }

void fuzzFailure(const char* what) {
  fprintf(stderr, "fuzz property failed: %s\n", what);
  abort();
}

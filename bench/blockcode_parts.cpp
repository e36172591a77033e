// Times the parts of blockcode's core on one file: counting, the block
// models (intervals), each arithmetic path alone on the same intervals, and
// each path fused with the models as the tool runs it.
// usage: blockcode_parts FILE [ROUNDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "block_coder.h"
#include "fileio.h"

static double seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: blockcode_parts FILE [ROUNDS]\n");
    return 2;
  }
  std::string error;
  uint8_t* data = readWholeFile(argv[1], &error);
  if (!data) {
    fprintf(stderr, "blockcode_parts: %s\n", error.c_str());
    return 1;
  }
  uint32_t length = lastReadLength;
  int rounds = argc > 2 ? atoi(argv[2]) : 5;
  std::vector<SymbolInterval> intervals(length + 1);
  std::vector<int32_t> counts(256 * size_t(blockCount(length)) + 256);
  double best[6] = {1e9, 1e9, 1e9, 1e9, 1e9, 1e9};
  std::vector<uint8_t> code(codeBufferBytes(length));
  uint32_t bytes[4] = {0, 0, 0, 0};
  for (int round = 0; round < rounds; round++) {
    double t0 = seconds();
    for (uint32_t offset = 0, b = 0; offset < length; offset += kBlockSize, b++)
      countBlock(data + offset, std::min(kBlockSize, length - offset), &counts[256 * size_t(b)]);
    double t1 = seconds();
    for (uint32_t offset = 0, b = 0; offset < length; offset += kBlockSize, b++)
      blockIntervals(data + offset, std::min(kBlockSize, length - offset), &counts[256 * size_t(b)],
                     &intervals[offset]);
    double t2 = seconds();
    best[0] = std::min(best[0], t1 - t0);
    best[1] = std::min(best[1], t2 - t1);
    for (int path = 0; path < 2; path++) {
      if (path == 1 && !hardwareArithmeticAvailable()) continue;
      RangeEncoder encoder;
      startEncoder(&encoder, code.data());
      double t3 = seconds();
      encodeIntervals(&encoder, intervals.data(), length,
                      path == 0 ? Arithmetic::kSoftware : Arithmetic::kHardware);
      finishEncoder(&encoder);
      best[2 + path] = std::min(best[2 + path], seconds() - t3);
      bytes[path] = encoder.codeBytes;
      startEncoder(&encoder, code.data());
      double t4 = seconds();
      for (uint32_t offset = 0, b = 0; offset < length; offset += kBlockSize, b++)
        encodeBlock(&encoder, data + offset, std::min(kBlockSize, length - offset), &counts[256 * size_t(b)],
                    path == 0 ? Arithmetic::kSoftware : Arithmetic::kHardware);
      finishEncoder(&encoder);
      best[4 + path] = std::min(best[4 + path], seconds() - t4);
      bytes[2 + path] = encoder.codeBytes;
    }
  }
  double mb = length / 1e6;
  printf("%u bytes, best of %d\n", length, rounds);
  printf("count      %8.1f MB/s\n", mb / best[0]);
  printf("intervals  %8.1f MB/s\n", mb / best[1]);
  printf("software   %8.1f MB/s (%u code bytes)\n", mb / best[2], bytes[0]);
  if (hardwareArithmeticAvailable()) printf("hardware   %8.1f MB/s (%u code bytes)\n", mb / best[3], bytes[1]);
  printf("software, fused with the models %8.1f MB/s (%u code bytes)\n", mb / best[4], bytes[2]);
  if (hardwareArithmeticAvailable())
    printf("hardware, fused with the models %8.1f MB/s (%u code bytes)\n", mb / best[5], bytes[3]);
  return 0;
}

// make_sample OUTPUT [LENGTH [SEED]]: writes the project's deterministic
// sample (see sample_data.h), 200000 bytes with seed 1 by default.
#include <cstdlib>
#include <string>

#include "fileio.h"
#include "sample_data.h"
#include "tool.h"

static const char kUsage[] =
    "usage: make_sample OUTPUT [LENGTH [SEED]]\n"
    "Writes a deterministic sample of LENGTH bytes (default 200000): text, a table\n"
    "of numbers, binary records and random bytes, interleaved block by block.\n";

static uint64_t parseNumber(const char* text, uint64_t limit, const char* what) {
  char* end = nullptr;
  unsigned long long value = strtoull(text, &end, 10);
  if (*text == '\0' || *end != '\0' || *text == '-' || value > limit)
    failWith(std::string("bad ") + what + " \"" + text + "\": expected a number up to " + std::to_string(limit));
  return value;
}

int main(int argc, char** argv) {
  setToolName("make_sample");
  if (handleStandardOptions(argc, argv, kUsage)) return 0;
  if (argc < 2) failWith("missing arguments; usage: make_sample OUTPUT [LENGTH [SEED]]");
  uint32_t length = argc >= 3 ? uint32_t(parseNumber(argv[2], kMaxFileLength, "length")) : 200000;
  uint64_t seed = argc >= 4 ? parseNumber(argv[3], UINT64_MAX, "seed") : 1;
  std::vector<uint8_t> sample = makeSample(length, seed);
  std::string error;
  if (!writeWholeFile(sample.data(), length, argv[1], &error)) failWith(error);
  return 0;
}

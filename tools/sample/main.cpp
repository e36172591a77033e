// make_sample OUTPUT [LENGTH [SEED]]: writes the project's deterministic
// sample (see sample_data.h), 200000 bytes with seed 1 by default.
#include <cstdlib>
#include <string>

#include "fileio.h"
#include "sample_data.h"
#include "tool.h"

static const char kHelp[] =
    "usage: make_sample OUTPUT [LENGTH [SEED]]\n"
    "Writes a deterministic sample of LENGTH bytes (default 200000) from SEED\n"
    "(default 1) to OUTPUT: text, a table of numbers, binary records and random\n"
    "bytes, interleaved block by block. The same arguments give the same bytes.\n"
    "\n"
    "Options:\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "  --             end the options: a later argument is OUTPUT even if\n"
    "                 it starts with -\n"
    "\n"
    "Exit status: 0 on success, 1 when the run fails, 2 on a usage error.\n";

static uint64_t parseNumber(const char* text, uint64_t limit, const char* what) {
  char* end = nullptr;
  unsigned long long value = strtoull(text, &end, 10);
  if (*text == '\0' || *end != '\0' || *text == '-' || value > limit)
    failUsage(std::string("bad ") + what + " " + quotedName(text) + ": expected a number up to " +
              std::to_string(limit));
  return value;
}

int main(int argc, char** argv) {
  setToolName("make_sample");
  CommandLine commandLine;
  commandLine.synopsis = "make_sample OUTPUT [LENGTH [SEED]]";
  commandLine.help = kHelp;
  commandLine.minOperands = 1;
  commandLine.maxOperands = 3;
  std::vector<const char*> operands = parseCommandLine(argc, argv, commandLine);
  uint32_t length = operands.size() >= 2 ? uint32_t(parseNumber(operands[1], kMaxFileLength, "length")) : 200000;
  uint64_t seed = operands.size() >= 3 ? parseNumber(operands[2], UINT64_MAX, "seed") : 1;
  std::vector<uint8_t> sample = makeSample(length, seed);
  std::string error;
  if (!writeWholeFile(sample.data(), length, operands[0], &error)) failWith(error);
  return 0;
}

// remix DATA ORDER: writes "remixed.dmp", the data with its 2048-byte blocks
// in the order the order file gives.
// remix --inverse REMIXED ORDER: writes "restored.dmp", the data that
// `remix DATA ORDER` rearranged into REMIXED.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fileio.h"
#include "remix_core.h"
#include "tool.h"

static const char kUsage[] =
    "usage: remix DATA ORDER\n"
    "       remix --inverse REMIXED ORDER\n"
    "Writes \"remixed.dmp\": the 2048-byte blocks of DATA in the order of ORDER,\n"
    "a file of little-endian 32-bit block indices such as \"morvalen.ord\".\n"
    "With --inverse, writes \"restored.dmp\": the data that remix DATA ORDER\n"
    "rearranged into REMIXED; ORDER must name every block once.\n";

static const char kOutputName[] = "remixed.dmp";
static const char kRestoredName[] = "restored.dmp";

struct Arguments {
  bool inverse = false;
  const char* dataPath = nullptr;   // DATA, or REMIXED with --inverse
  const char* orderPath = nullptr;
};

// "--inverse" may stand anywhere before "--", which ends the options.
static Arguments parseArguments(int argc, char** argv) {
  Arguments arguments;
  const char* operands[2] = {nullptr, nullptr};
  int operandCount = 0;
  bool optionsEnded = false;
  for (int i = 1; i < argc; i++) {
    if (!optionsEnded && strcmp(argv[i], "--") == 0) {
      optionsEnded = true;
    } else if (!optionsEnded && strcmp(argv[i], "--inverse") == 0) {
      arguments.inverse = true;
    } else if (operandCount < 2) {
      operands[operandCount++] = argv[i];
    }
  }
  if (operandCount < 2)
    failWith(arguments.inverse ? "missing arguments; usage: remix --inverse REMIXED ORDER"
                               : "missing arguments; usage: remix DATA ORDER");
  arguments.dataPath = operands[0];
  arguments.orderPath = operands[1];
  return arguments;
}

static uint8_t* readOrFail(const char* path) {
  std::string error;
  uint8_t* buffer = readWholeFile(path, &error);
  if (!buffer) failWith(error);
  return buffer;
}

static void remix(const uint8_t* data, uint32_t dataLength, const uint8_t* order) {
  std::string error;
  OutputFile output;
  if (!openOutput(kOutputName, &output, &error)) failWith(error);
  for (uint32_t i = 0; i < blockCount(dataLength); i++) {
    BlockSpan span = sourceBlock(order, i, dataLength);
    fwrite(data + span.start, 1, span.length, output.file);
  }
  if (!commitOutput(&output, &error)) failWith(error);
}

static void restore(const uint8_t* remixed, uint32_t length, const uint8_t* order) {
  uint8_t* restored = static_cast<uint8_t*>(malloc(length == 0 ? 1 : length));
  if (!restored) failWith("cannot allocate " + std::to_string(length) + " bytes for the restored data");
  restoreInto(remixed, length, order, restored);
  std::string error;
  if (!writeWholeFile(restored, length, kRestoredName, &error)) failWith(error);
}

int main(int argc, char** argv) {
  setToolName("remix");
  if (handleStandardOptions(argc, argv, kUsage)) return 0;
  Arguments arguments = parseArguments(argc, argv);

  // The order is read first and the data second, as the data's length is
  // the one that counts.
  const uint8_t* order = readOrFail(arguments.orderPath);
  uint32_t orderLength = lastReadLength;
  const uint8_t* data = readOrFail(arguments.dataPath);
  uint32_t dataLength = lastReadLength;

  // The order is checked before any output is begun: a refused order writes
  // nothing.
  std::string error;
  bool accepted = arguments.inverse ? checkPermutation(order, orderLength, dataLength, &error)
                                    : checkOrder(order, orderLength, dataLength, &error);
  if (!accepted) failWith("bad order \"" + std::string(arguments.orderPath) + "\": " + error);

  if (arguments.inverse) {
    restore(data, dataLength, order);
  } else {
    remix(data, dataLength, order);
  }
  return 0;
}

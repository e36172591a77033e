// remix DATA ORDER: writes "remixed.dmp", the data with its 2048-byte blocks
// in the order the order file gives.
#include <cstdio>
#include <string>

#include "fileio.h"
#include "remix_core.h"
#include "tool.h"

static const char kUsage[] =
    "usage: remix DATA ORDER\n"
    "Writes \"remixed.dmp\": the 2048-byte blocks of DATA in the order of ORDER,\n"
    "a file of little-endian 32-bit block indices such as \"morvalen.ord\".\n";

static const char kOutputName[] = "remixed.dmp";

static uint8_t* readOrFail(const char* path) {
  std::string error;
  uint8_t* buffer = readWholeFile(path, &error);
  if (!buffer) failWith(error);
  return buffer;
}

int main(int argc, char** argv) {
  setToolName("remix");
  if (handleStandardOptions(argc, argv, kUsage)) return 0;
  if (argc < 3) failWith("missing arguments; usage: remix DATA ORDER");
  const char* dataPath = argv[1];
  const char* orderPath = argv[2];

  // The order is read first and the data second, as the data's length is
  // the one that counts.
  const uint8_t* order = readOrFail(orderPath);
  uint32_t orderLength = lastReadLength;
  const uint8_t* data = readOrFail(dataPath);
  uint32_t dataLength = lastReadLength;

  std::string error;
  if (!checkOrder(order, orderLength, dataLength, &error))
    failWith("bad order \"" + std::string(orderPath) + "\": " + error);

  OutputFile output;
  if (!openOutput(kOutputName, &output, &error)) failWith(error);
  for (uint32_t i = 0; i < blockCount(dataLength); i++) {
    BlockSpan span = sourceBlock(order, i, dataLength);
    fwrite(data + span.start, 1, span.length, output.file);
  }
  if (!commitOutput(&output, &error)) failWith(error);
  return 0;
}

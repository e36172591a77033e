// remix DATA ORDER: writes "remixed.dmp", the data with its 2048-byte blocks
// in the order the order file gives.
// remix --inverse REMIXED ORDER: writes "restored.dmp", the data that
// `remix DATA ORDER` rearranged into REMIXED.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fileio.h"
#include "remix_core.h"
#include "tool.h"

static const char kHelp[] =
    "usage: remix DATA ORDER\n"
    "       remix --inverse REMIXED ORDER\n"
    "Writes \"remixed.dmp\": the 2048-byte blocks of DATA in the order of ORDER,\n"
    "a file of little-endian 32-bit block indices such as \"morvalen.ord\".\n"
    "With --inverse, writes \"restored.dmp\": the data that remix DATA ORDER\n"
    "rearranged into REMIXED; ORDER must name every block once.\n"
    "\n"
    "Options:\n"
    "      --inverse  undo a remix: write \"restored.dmp\" from REMIXED and ORDER\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "  --             end the options: later arguments are files even if\n"
    "                 they start with -\n"
    "\n"
    "Exit status: 0 on success, 1 when the run fails, 2 on a usage error.\n";

static const char kOutputName[] = "remixed.dmp";
static const char kRestoredName[] = "restored.dmp";

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
  bool inverse = false;
  const OptionFlag flags[] = {{"--inverse", &inverse}};
  CommandLine commandLine;
  commandLine.synopsis = "remix DATA ORDER or remix --inverse REMIXED ORDER";
  commandLine.help = kHelp;
  commandLine.flags = flags;
  commandLine.flagCount = 1;
  commandLine.minOperands = 2;
  commandLine.maxOperands = 2;
  std::vector<const char*> operands = parseCommandLine(argc, argv, commandLine);
  const char* dataPath = operands[0];  // DATA, or REMIXED with --inverse
  const char* orderPath = operands[1];

  // The order is read first and the data second, as the data's length is
  // the one that counts.
  const uint8_t* order = readOrFail(orderPath);
  uint32_t orderLength = lastReadLength;
  const uint8_t* data = readOrFail(dataPath);
  uint32_t dataLength = lastReadLength;

  // The order is checked before any output is begun: a refused order writes
  // nothing.
  std::string error;
  bool accepted = inverse ? checkPermutation(order, orderLength, dataLength, &error)
                          : checkOrder(order, orderLength, dataLength, &error);
  if (!accepted) failWith("bad order " + quotedName(orderPath) + ": " + error);

  if (inverse) {
    restore(data, dataLength, order);
  } else {
    remix(data, dataLength, order);
  }
  return 0;
}

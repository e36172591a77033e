// bwt: Burrows-Wheeler transform front end for the block tools.
//
//   bwt INPUT [OUTPUT]      OUTPUT (default "book1bwt.") gets the transform,
//                           the index file gets the primary index
//   bwt -d INPUT OUTPUT     undoes it, reading INPUT and its index file
//
// The transform keeps the input's length, so its blocks line up with the
// count matrix blockcode makes of it. The primary index is therefore kept out
// of the data, in a small file of its own: one little-endian 32-bit word,
// named after the transform with any trailing dot dropped and ".idx" added
// ("book1bwt." -> "book1bwt.idx", "x.bwt" -> "x.bwt.idx").
#include <cstdio>
#include <string>
#include <vector>

#include "bwt_core.h"
#include "fileio.h"
#include "progress.h"
#include "tool.h"

static const char kHelp[] =
    "usage: bwt INPUT [OUTPUT]\n"
    "       bwt -d INPUT OUTPUT\n"
    "Writes the Burrows-Wheeler transform of INPUT to OUTPUT (default \"book1bwt.\",\n"
    "the file blockcode reads) and its primary index, one little-endian 32-bit\n"
    "word, to OUTPUT without a trailing dot plus \".idx\" (\"book1bwt.idx\").\n"
    "\n"
    "Options:\n"
    "  -d             undo: read the transform INPUT and its index file and write\n"
    "                 the original to OUTPUT\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "  --             end the options: later arguments are files even if\n"
    "                 they start with -\n"
    "\n"
    "On a terminal, a progress line on stderr shows the time taken so far.\n"
    "Exit status: 0 on success, 1 when the run fails, 2 on a usage error.\n";

// The megabytes of a length, for the progress line.
static std::string megabytes(uint32_t length) {
  char text[32];
  snprintf(text, sizeof text, "%.1f MB", double(length) / 1e6);
  return text;
}

// libdivsufsort says nothing while it works: the line shows what runs and
// for how long.
static void startWorkLine(const std::string& what) {
  static std::string unit;
  unit = what;
  ProgressPlan plan;
  plan.label = "bwt";
  plan.unit = unit.c_str();
  startProgress(plan);
}

static const char kDefaultOutput[] = "book1bwt.";

static std::string indexPathFor(std::string transformPath) {
  if (!transformPath.empty() && transformPath.back() == '.') transformPath.pop_back();
  return transformPath + ".idx";
}

static uint8_t* readOrFail(const char* path, uint32_t* length) {
  std::string error;
  uint8_t* buffer = readWholeFile(path, &error);
  if (!buffer) failWith(error);
  *length = lastReadLength;
  return buffer;
}

static void writeOrFail(const void* data, uint32_t length, const std::string& path) {
  std::string error;
  if (!writeWholeFile(data, length, path.c_str(), &error)) failWith(error);
}

static void openOrFail(const std::string& path, OutputFile* output) {
  std::string error;
  if (!openOutput(path.c_str(), output, &error)) failWith(error);
}

static void transform(const char* inputPath, const char* outputPath) {
  uint32_t length = 0;
  const uint8_t* input = readOrFail(inputPath, &length);
  std::vector<uint8_t> output(length);
  uint32_t primaryIndex = 0;
  std::string error;
  startWorkLine("transforming " + megabytes(length));
  bool transformed = forwardBwt(input, length, output.data(), &primaryIndex, &error);
  endProgress();
  if (!transformed) failWith(error);
  uint8_t indexWord[4];
  storeU32LE(primaryIndex, indexWord);
  // The transform and its index replace the earlier pair together: an index
  // of another transform would undo it into the wrong text.
  OutputFile transformFile, index;
  openOrFail(outputPath, &transformFile);
  openOrFail(indexPathFor(outputPath), &index);
  if (length > 0) fwrite(output.data(), 1, length, transformFile.file);
  fwrite(indexWord, 1, 4, index.file);
  OutputFile* outputs[] = {&transformFile, &index};
  if (!commitOutputs(outputs, 2, &error)) failWith(error);
}

static void untransform(const char* inputPath, const char* outputPath) {
  std::string indexPath = indexPathFor(inputPath);
  uint32_t indexLength = 0;
  const uint8_t* indexWord = readOrFail(indexPath.c_str(), &indexLength);
  if (indexLength != 4)
    failWith("bad index file " + quotedName(indexPath) + ": " + std::to_string(indexLength) +
             " bytes, expected one 4-byte word");
  uint32_t primaryIndex = loadU32LE(indexWord);
  uint32_t length = 0;
  const uint8_t* input = readOrFail(inputPath, &length);
  std::vector<uint8_t> output(length);
  std::string error;
  startWorkLine("undoing the transform of " + megabytes(length));
  bool undone = inverseBwt(input, length, primaryIndex, output.data(), &error);
  endProgress();
  if (!undone) failWith("cannot undo " + quotedName(inputPath) + ": " + error);
  writeOrFail(output.data(), length, outputPath);
}

int main(int argc, char** argv) {
  setToolName("bwt");
  bool undo = false;
  const OptionFlag flags[] = {{"-d", &undo}};
  CommandLine commandLine;
  commandLine.synopsis = "bwt INPUT [OUTPUT] or bwt -d INPUT OUTPUT";
  commandLine.help = kHelp;
  commandLine.flags = flags;
  commandLine.flagCount = 1;
  commandLine.minOperands = 1;
  commandLine.maxOperands = 2;
  std::vector<const char*> operands = parseCommandLine(argc, argv, commandLine);
  if (undo) {
    if (operands.size() < 2) failUsage("-d needs INPUT and OUTPUT");
    untransform(operands[0], operands[1]);
    return 0;
  }
  transform(operands[0], operands.size() >= 2 ? operands[1] : kDefaultOutput);
  return 0;
}

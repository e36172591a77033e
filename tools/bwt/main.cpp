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
#include <cstring>
#include <string>
#include <vector>

#include "bwt_core.h"
#include "fileio.h"
#include "tool.h"

static const char kUsage[] =
    "usage: bwt INPUT [OUTPUT]\n"
    "       bwt -d INPUT OUTPUT\n"
    "Writes the Burrows-Wheeler transform of INPUT to OUTPUT (default \"book1bwt.\",\n"
    "the file blockcode reads) and its primary index, one little-endian 32-bit\n"
    "word, to OUTPUT without a trailing dot plus \".idx\" (\"book1bwt.idx\").\n"
    "-d reads a transform and its index file and writes the original to OUTPUT.\n";

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

static void transform(const char* inputPath, const char* outputPath) {
  uint32_t length = 0;
  const uint8_t* input = readOrFail(inputPath, &length);
  std::vector<uint8_t> output(length);
  uint32_t primaryIndex = 0;
  std::string error;
  if (!forwardBwt(input, length, output.data(), &primaryIndex, &error)) failWith(error);
  uint8_t indexWord[4];
  storeU32LE(primaryIndex, indexWord);
  writeOrFail(output.data(), length, outputPath);
  writeOrFail(indexWord, 4, indexPathFor(outputPath));
}

static void untransform(const char* inputPath, const char* outputPath) {
  std::string indexPath = indexPathFor(inputPath);
  uint32_t indexLength = 0;
  const uint8_t* indexWord = readOrFail(indexPath.c_str(), &indexLength);
  if (indexLength != 4)
    failWith("bad index file \"" + indexPath + "\": " + std::to_string(indexLength) +
             " bytes, expected one 4-byte word");
  uint32_t primaryIndex = loadU32LE(indexWord);
  uint32_t length = 0;
  const uint8_t* input = readOrFail(inputPath, &length);
  std::vector<uint8_t> output(length);
  std::string error;
  if (!inverseBwt(input, length, primaryIndex, output.data(), &error))
    failWith("cannot undo \"" + std::string(inputPath) + "\": " + error);
  writeOrFail(output.data(), length, outputPath);
}

int main(int argc, char** argv) {
  setToolName("bwt");
  if (handleStandardOptions(argc, argv, kUsage)) return 0;
  if (argc >= 2 && strcmp(argv[1], "-d") == 0) {
    if (argc < 4) failWith("missing arguments; usage: bwt -d INPUT OUTPUT");
    untransform(argv[2], argv[3]);
    return 0;
  }
  if (argc < 2) failWith("missing arguments; usage: bwt INPUT [OUTPUT]");
  transform(argv[1], argc >= 3 ? argv[2] : kDefaultOutput);
  return 0;
}

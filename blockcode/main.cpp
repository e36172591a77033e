// blockcode [INPUT]: writes the byte counts of every 2048-byte block of
// INPUT to a count matrix and codes the file, each block under its own
// counts, to a code stream. Without INPUT it reads "book1bwt." and writes
// "book1bwt.frq" and "book1bwt.bar"; with it, the outputs are named after
// INPUT's file name, in the working folder.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "block_coder.h"
#include "fileio.h"
#include "large_memory.h"
#include "progress.h"
#include "tool.h"

static const char kHelp[] =
    "usage: blockcode [INPUT]\n"
    "Writes the byte counts of every 2048-byte block of INPUT to a count matrix,\n"
    "NAME.frq, and codes INPUT with each block's counts as its model to a code\n"
    "stream, NAME.bar, where NAME is INPUT's file name without a trailing dot; both\n"
    "go to the working folder. Without INPUT it reads \"book1bwt.\" (or \"book1bwt\"\n"
    "when there is no file of the dotted name) and writes \"book1bwt.frq\" and\n"
    "\"book1bwt.bar\".\n"
    "\n"
    "Options:\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "  --             end the options: a later argument is INPUT even if\n"
    "                 it starts with -\n"
    "\n"
    "On a terminal, a progress line on stderr shows the megabytes coded.\n"
    "Exit status: 0 on success, 1 when the run fails, 2 on a usage error.\n";

static const char kInputName[] = "book1bwt.";
static const char kUndottedInputName[] = "book1bwt";

// Opens the default input; systems that drop trailing dots from file names store it
// as "book1bwt", which is read when the dotted name does not exist.
static FILE* openDefaultInput(const char** name, std::string* error) {
  *name = kInputName;
  FILE* file = openInputFile(kInputName, error);
  if (!file && errno == ENOENT) {
    std::string undottedError;
    FILE* undotted = openInputFile(kUndottedInputName, &undottedError);
    if (undotted || errno != ENOENT) {
      *name = kUndottedInputName;
      *error = undottedError;
      return undotted;
    }
  }
  return file;
}

// The outputs of INPUT: its file name without the folders and without one
// trailing dot (the usual input "book1bwt." gives "book1bwt"), plus the
// extension. Empty when no such name can be made.
static std::string outputName(const std::string& inputPath, const char* extension) {
  std::string name = inputPath.substr(inputPath.find_last_of('/') + 1);
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || name == "." || name == "..") return "";
  return name + extension;
}

struct RowWriter {
  FILE* file;
  uint32_t blocksDone;
  uint32_t length;
};

// Writes each row as its block is counted; the block count also moves the
// progress line.
static void writeRow(const int32_t* counts, void* context) {
  RowWriter* writer = static_cast<RowWriter*>(context);
  writeWordsLE(reinterpret_cast<const uint32_t*>(counts), 256, writer->file);
  writer->blocksDone++;
  uint64_t bytesDone = uint64_t(writer->blocksDone) << kBlockShift;
  setProgress(bytesDone < writer->length ? bytesDone : writer->length);
}

int main(int argc, char** argv) {
  setToolName("blockcode");
  CommandLine commandLine;
  commandLine.synopsis = "blockcode [INPUT]";
  commandLine.help = kHelp;
  commandLine.maxOperands = 1;
  std::vector<const char*> operands = parseCommandLine(argc, argv, commandLine);

  std::string error;
  const char* inputName = nullptr;
  FILE* input = nullptr;
  std::string barName = "book1bwt.bar", frqName = "book1bwt.frq";
  if (operands.empty()) {
    input = openDefaultInput(&inputName, &error);
  } else {
    inputName = operands[0];
    input = openInputFile(inputName, &error);
  }
  if (!input) failWith(error);
  if (!operands.empty()) {
    barName = outputName(inputName, ".bar");
    frqName = outputName(inputName, ".frq");
    if (barName.empty())
      failWith("cannot name the outputs after " + quotedName(inputName) + ": it has no file name");
  }

  OutputFile bar, frq;
  if (!openOutput(barName.c_str(), &bar, &error)) failWith(error);

  uint32_t length = 0;
  if (!fileLength(input, inputName, &length, &error)) failWith(error);
  uint8_t* data = static_cast<uint8_t*>(allocateLarge(size_t(length) + 1));
  uint64_t codeCapacity = codeBufferBytes(length);
  uint8_t* codeBuffer = static_cast<uint8_t*>(allocateLarge(size_t(codeCapacity)));
  if (!data || !codeBuffer)
    failWith("cannot allocate memory for " + quotedName(inputName) + " (" + std::to_string(length) +
             " bytes)");
  if (!readExactly(input, inputName, data, length, &error)) failWith(error);
  if (fclose(input) != 0) failWith("cannot close " + quotedName(inputName) + ": " + systemError());

  if (!openOutput(frqName.c_str(), &frq, &error)) failWith(error);
  // Rows go out 1 KiB at a time; a larger buffer saves system calls.
  static char rowBuffer[1 << 18];
  setvbuf(frq.file, rowBuffer, _IOFBF, sizeof rowBuffer);
  writeCountMatrixHeader(256, blockCount(length), frq.file);
  ProgressPlan plan;
  plan.label = "blockcode";
  plan.unit = "MB coded";
  plan.total = length;
  plan.inMegabytes = true;
  startProgress(plan);
  RowWriter rows = {frq.file, 0, length};
  uint32_t codeBytes = codeBlocks(data, length, codeBuffer, fastestArithmetic(), writeRow, &rows);
  endProgress();
  // The matrix is complete on disk before the stream is written, so that a
  // full disk is blamed on the file that filled it.
  if (!finishOutput(&frq, &error)) failWith(error);
  fwrite(codeBuffer, 1, codeBytes, bar.file);

  OutputFile* outputs[] = {&bar, &frq};
  if (!commitOutputs(outputs, 2, &error)) failWith(error);
  return 0;
}

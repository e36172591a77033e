// blockcode: writes the byte counts of every 2048-byte block of "book1bwt."
// to "book1bwt.frq" and codes the file, each block under its own counts, to
// "book1bwt.bar". Arguments other than -h/--help and --version are ignored.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/stat.h>

#include "block_coder.h"
#include "fileio.h"
#include "large_memory.h"
#include "tool.h"

static const char kUsage[] =
    "usage: blockcode\n"
    "Reads \"book1bwt.\" (or \"book1bwt\" when there is no file of the dotted name)\n"
    "from the working folder and writes the byte counts of its 2048-byte blocks\n"
    "to \"book1bwt.frq\" and its block-modelled code stream to \"book1bwt.bar\".\n";

static const char kInputName[] = "book1bwt.";
static const char kUndottedInputName[] = "book1bwt";

static std::string quoted(const char* path) { return std::string("\"") + path + "\""; }

// Opens the input; systems that drop trailing dots from file names store it
// as "book1bwt", which is read when the dotted name does not exist.
static FILE* openInput(const char** name) {
  *name = kInputName;
  FILE* file = fopen(kInputName, "rb");
  if (!file && errno == ENOENT) {
    FILE* undotted = fopen(kUndottedInputName, "rb");
    if (undotted) {
      *name = kUndottedInputName;
      return undotted;
    }
    if (errno != ENOENT) {
      *name = kUndottedInputName;
      return nullptr;
    }
    errno = ENOENT;
  }
  return file;
}

static void writeRow(const int32_t* counts, void* context) {
  writeWordsLE(reinterpret_cast<const uint32_t*>(counts), 256, static_cast<FILE*>(context));
}

int main(int argc, char** argv) {
  setToolName("blockcode");
  if (handleStandardOptions(argc, argv, kUsage)) return 0;

  const char* inputName = nullptr;
  FILE* input = openInput(&inputName);
  if (!input) failWith("cannot open " + quoted(inputName) + ": " + systemError());
  struct stat info;
  if (fstat(fileno(input), &info) == 0 && S_ISDIR(info.st_mode))
    failWith("cannot read " + quoted(inputName) + ": Is a directory");

  std::string error;
  OutputFile bar, frq;
  if (!openOutput("book1bwt.bar", &bar, &error)) failWith(error);

  uint32_t length = 0;
  if (!fileLength(input, inputName, &length, &error)) failWith(error);
  uint8_t* data = static_cast<uint8_t*>(allocateLarge(size_t(length) + 1));
  uint64_t codeCapacity = codeBufferBytes(length);
  uint8_t* codeBuffer = static_cast<uint8_t*>(allocateLarge(size_t(codeCapacity)));
  if (!data || !codeBuffer)
    failWith("cannot allocate memory for " + quoted(inputName) + " (" + std::to_string(length) +
             " bytes)");
  if (fread(data, 1, length, input) != length) {
    if (ferror(input)) failWith("cannot read " + quoted(inputName) + ": " + systemError());
    failWith("cannot read " + quoted(inputName) + ": the file shrank while being read");
  }
  if (fclose(input) != 0) failWith("cannot close " + quoted(inputName) + ": " + systemError());

  if (!openOutput("book1bwt.frq", &frq, &error)) failWith(error);
  // Rows go out 1 KiB at a time; a larger buffer saves system calls.
  static char rowBuffer[1 << 18];
  setvbuf(frq.file, rowBuffer, _IOFBF, sizeof rowBuffer);
  writeCountMatrixHeader(256, blockCount(length), frq.file);
  uint32_t codeBytes =
      codeBlocks(data, length, codeBuffer, fastestArithmetic(), writeRow, frq.file);
  fwrite(codeBuffer, 1, codeBytes, bar.file);

  OutputFile* outputs[] = {&bar, &frq};
  if (!commitOutputs(outputs, 2, &error)) failWith(error);
  return 0;
}

#include "fileio.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

uint32_t lastReadLength = 0;

std::string systemError() { return std::strerror(errno); }

static std::string quoted(const std::string& path) { return "\"" + path + "\""; }

void convertWordsLE(uint32_t* words, size_t count) {
  if (!kHostIsBigEndian) return;
  for (size_t i = 0; i < count; i++) words[i] = swapBytes32(words[i]);
}

bool fileLength(FILE* file, const char* path, uint32_t* length, std::string* error) {
  if (fseeko(file, 0, SEEK_END) != 0) {
    *error = "cannot seek in " + quoted(path) + ": " + systemError();
    return false;
  }
  off_t end = ftello(file);
  if (end < 0 || fseeko(file, 0, SEEK_SET) != 0) {
    *error = "cannot seek in " + quoted(path) + ": " + systemError();
    return false;
  }
  if (uint64_t(end) > kMaxFileLength) {
    *error = quoted(path) + " is too large: " + std::to_string(uint64_t(end)) +
             " bytes, the limit is 2147483647";
    return false;
  }
  *length = uint32_t(end);
  return true;
}

uint8_t* readWholeFile(const char* path, std::string* error) {
  FILE* file = fopen(path, "rb");
  if (!file) {
    *error = "cannot open " + quoted(path) + ": " + systemError();
    return nullptr;
  }
  struct stat info;
  if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    fclose(file);
    *error = "cannot read " + quoted(path) + ": " + std::strerror(EISDIR);
    return nullptr;
  }
  uint32_t length = 0;
  if (!fileLength(file, path, &length, error)) {
    fclose(file);
    return nullptr;
  }
  // Padded to whole words plus one, so that views as 32-bit words and
  // zero-length files need no special case.
  size_t padded = (size_t(length) + 8) & ~size_t(3);
  uint8_t* buffer = static_cast<uint8_t*>(calloc(padded, 1));
  if (!buffer) {
    fclose(file);
    *error = "cannot allocate " + std::to_string(padded) + " bytes for " + quoted(path);
    return nullptr;
  }
  size_t got = fread(buffer, 1, length, file);
  bool readError = ferror(file) != 0;
  int readErrno = errno;
  fclose(file);
  if (got != length) {
    free(buffer);
    errno = readErrno;
    *error = "cannot read " + quoted(path) + ": " +
             (readError ? systemError() : std::string("the file shrank while being read"));
    return nullptr;
  }
  lastReadLength = length;
  return buffer;
}

// Temporary files opened and not yet committed or discarded.
static std::vector<std::string> pendingTemps;

static void forgetPending(const std::string& tempPath) {
  for (size_t i = 0; i < pendingTemps.size(); i++) {
    if (pendingTemps[i] == tempPath) {
      pendingTemps.erase(pendingTemps.begin() + long(i));
      return;
    }
  }
}

bool openOutput(const char* path, OutputFile* output, std::string* error) {
  output->path = path;
  // O_EXCL with a fresh name per attempt: never clobbers another file, and
  // the mode honours the umask like an ordinary fopen(..., "wb").
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string temp = output->path + ".tmp" + std::to_string(getpid()) + "-" +
                       std::to_string(counter++);
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      *error = "cannot create " + quoted(path) + ": " + systemError();
      return false;
    }
    output->file = fdopen(fd, "wb");
    if (!output->file) {
      *error = "cannot create " + quoted(path) + ": " + systemError();
      close(fd);
      unlink(temp.c_str());
      return false;
    }
    output->tempPath = temp;
    pendingTemps.push_back(temp);
    return true;
  }
  *error = "cannot create " + quoted(path) + ": too many temporary files";
  return false;
}

// Flushes and closes the temporary file; false (temporary removed) when a
// write or the close failed.
static bool closeOutput(OutputFile* output, std::string* error) {
  bool writeFailed = fflush(output->file) != 0 || ferror(output->file);
  int writeErrno = errno;
  bool closeFailed = fclose(output->file) != 0;
  output->file = nullptr;
  if (writeFailed || closeFailed) {
    if (writeFailed) errno = writeErrno;
    *error = "cannot write " + quoted(output->path) + ": " + systemError();
    unlink(output->tempPath.c_str());
    forgetPending(output->tempPath);
    return false;
  }
  return true;
}

static bool replaceTarget(OutputFile* output, std::string* error) {
  if (rename(output->tempPath.c_str(), output->path.c_str()) != 0) {
    *error = "cannot replace " + quoted(output->path) + ": " + systemError();
    unlink(output->tempPath.c_str());
    forgetPending(output->tempPath);
    return false;
  }
  forgetPending(output->tempPath);
  return true;
}

bool commitOutput(OutputFile* output, std::string* error) {
  return closeOutput(output, error) && replaceTarget(output, error);
}

bool commitOutputs(OutputFile* const* outputs, int count, std::string* error) {
  bool ok = true;
  for (int i = 0; i < count && ok; i++) ok = closeOutput(outputs[i], error);
  for (int i = 0; i < count && ok; i++) {
    struct stat info;
    if (stat(outputs[i]->path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      *error = "cannot replace " + quoted(outputs[i]->path) + ": " + std::strerror(EISDIR);
      ok = false;
    }
  }
  if (!ok) {
    for (int i = 0; i < count; i++) discardOutput(outputs[i]);
    return false;
  }
  for (int i = 0; i < count; i++)
    if (!replaceTarget(outputs[i], error)) return false;
  return true;
}

void discardOutput(OutputFile* output) {
  if (output->file) fclose(output->file);
  output->file = nullptr;
  if (!output->tempPath.empty()) {
    unlink(output->tempPath.c_str());
    forgetPending(output->tempPath);
  }
}

void discardPendingOutputs() {
  for (const std::string& temp : pendingTemps) unlink(temp.c_str());
  pendingTemps.clear();
}

bool writeWholeFile(const void* data, uint32_t byteCount, const char* path, std::string* error) {
  OutputFile output;
  if (!openOutput(path, &output, error)) return false;
  fwrite(data, 1, byteCount, output.file);
  return commitOutput(&output, error);
}

void writeU32LE(uint32_t value, FILE* file) {
  for (int shift = 0; shift < 32; shift += 8) putc(int((value >> shift) & 0xFF), file);
}

void writeWordsLE(const uint32_t* words, size_t count, FILE* file) {
  if (!kHostIsBigEndian) {
    fwrite(words, 4, count, file);
    return;
  }
  std::vector<uint32_t> swapped(words, words + count);
  convertWordsLE(swapped.data(), count);
  fwrite(swapped.data(), 4, count, file);
}

bool parseCountMatrix(uint8_t* buffer, uint32_t length, CountMatrix* matrix, std::string* error) {
  if (length < 8) {
    *error = "too short for a count matrix header: " + std::to_string(length) + " bytes";
    return false;
  }
  uint32_t columns = loadU32LE(buffer);
  uint32_t rows = loadU32LE(buffer + 4);
  uint64_t cells = uint64_t(columns) * rows;  // exact: both factors are below 2^32
  uint64_t available = (length - 8) / 4;
  if (cells > available) {
    *error = "shorter than its header promises: " + std::to_string(columns) + " columns by " +
             std::to_string(rows) + " rows need " + std::to_string(cells) + " counts, the file holds " +
             std::to_string(available);
    return false;
  }
  matrix->columns = columns;
  matrix->rows = rows;
  matrix->counts = reinterpret_cast<int32_t*>(buffer + 8);
  convertWordsLE(reinterpret_cast<uint32_t*>(buffer + 8), size_t(cells));
  return true;
}

void writeCountMatrixHeader(uint32_t columns, uint32_t rows, FILE* file) {
  writeU32LE(columns, file);
  writeU32LE(rows, file);
}

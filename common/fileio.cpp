#include "fileio.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "temporary_files.h"

uint32_t lastReadLength = 0;

std::string systemError() { return std::strerror(errno); }

// Appends `c` to `text`, escaped if it is a control character.
static void appendPrintable(unsigned char c, std::string* text) {
  static const char kHex[] = "0123456789ABCDEF";
  switch (c) {
    case '\n': *text += "\\n"; return;
    case '\t': *text += "\\t"; return;
    case '\r': *text += "\\r"; return;
  }
  if (c < 0x20 || c == 0x7F) {
    *text += "\\x";
    *text += kHex[c >> 4];
    *text += kHex[c & 15];
    return;
  }
  *text += char(c);
}

std::string printable(const std::string& text) {
  std::string result;
  for (unsigned char c : text) appendPrintable(c, &result);
  return result;
}

std::string quotedName(const std::string& name) {
  std::string result = "\"";
  for (unsigned char c : name) {
    if (c == '"' || c == '\\') result += '\\';
    appendPrintable(c, &result);
  }
  return result + "\"";
}

void convertWordsLE(uint32_t* words, size_t count) {
  if (!kHostIsBigEndian) return;
  for (size_t i = 0; i < count; i++) words[i] = swapBytes32(words[i]);
}

bool fileLength(FILE* file, const char* path, uint32_t* length, std::string* error) {
  if (fseeko(file, 0, SEEK_END) != 0) {
    *error = "cannot seek in " + quotedName(path) + ": " + systemError();
    return false;
  }
  off_t end = ftello(file);
  if (end < 0 || fseeko(file, 0, SEEK_SET) != 0) {
    *error = "cannot seek in " + quotedName(path) + ": " + systemError();
    return false;
  }
  if (uint64_t(end) > kMaxFileLength) {
    *error = quotedName(path) + " is too large: " + std::to_string(uint64_t(end)) +
             " bytes, the limit is 2147483647";
    return false;
  }
  *length = uint32_t(end);
  return true;
}

static const char* inputKind(mode_t mode) {
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

FILE* openInputFile(const char* path, std::string* error) {
  // Non-blocking, so that a FIFO without a writer is refused, not waited on.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    int failure = errno;
    *error = "cannot open " + quotedName(path) + ": " + std::strerror(failure);
    errno = failure;
    return nullptr;
  }
  struct stat info;
  int failure = 0;
  if (fstat(fd, &info) != 0) {
    failure = errno;
    *error = "cannot read " + quotedName(path) + ": " + std::strerror(failure);
  } else if (S_ISDIR(info.st_mode)) {
    failure = EISDIR;
    *error = "cannot read " + quotedName(path) + ": " + std::strerror(EISDIR);
  } else if (!S_ISREG(info.st_mode)) {
    failure = EINVAL;
    *error = "cannot read " + quotedName(path) + ": it is " + inputKind(info.st_mode) + ", not a regular file";
  }
  FILE* file = nullptr;
  if (!failure) {
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    file = fdopen(fd, "rb");
    if (!file) {
      failure = errno;
      *error = "cannot read " + quotedName(path) + ": " + std::strerror(failure);
    }
  }
  if (failure) {
    close(fd);
    errno = failure;
  }
  return file;
}

bool readExactly(FILE* file, const char* path, uint8_t* buffer, uint32_t length, std::string* error) {
  size_t got = length > 0 ? fread(buffer, 1, length, file) : 0;
  if (got != length) {
    *error = "cannot read " + quotedName(path) + ": " +
             (ferror(file) ? systemError() : std::string("the file shrank while being read"));
    return false;
  }
  // One byte more: a file that grew, or one whose size says less than it
  // holds (those of /proc and /sys say 0), has no fixed content to read.
  if (getc(file) != EOF) {
    *error = "cannot read " + quotedName(path) + ": it holds more than the " + std::to_string(length) +
             " bytes its size gives (a growing file, or one of /proc or /sys)";
    return false;
  }
  if (ferror(file)) {
    *error = "cannot read " + quotedName(path) + ": " + systemError();
    return false;
  }
  return true;
}

uint8_t* readWholeFile(const char* path, std::string* error) {
  FILE* file = openInputFile(path, error);
  if (!file) return nullptr;
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
    *error = "cannot allocate " + std::to_string(padded) + " bytes for " + quotedName(path);
    return nullptr;
  }
  bool read = readExactly(file, path, buffer, length, error);
  fclose(file);
  if (!read) {
    free(buffer);
    return nullptr;
  }
  lastReadLength = length;
  return buffer;
}

void setOutputOwner(const char* tool) { prepareTemporaries(tool); }

void writeU32LE(uint32_t value, FILE* file) {
  for (int shift = 0; shift < 32; shift += 8) putc(int((value >> shift) & 0xFF), file);
}

void writeWordsLE(const uint32_t* words, size_t count, FILE* file) {
  if (count == 0) return;  // `words` may be null then, which fwrite must not get
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

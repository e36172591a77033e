#include "fileio.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <signal.h>
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

// Temporary files opened and neither committed nor discarded, as a fixed
// table of C strings: the signal handler below reads it, and a signal may
// arrive at any point. A tool has at most a few outputs open at once.
constexpr int kMaxPendingTemps = 8;
static char* volatile pendingTemps[kMaxPendingTemps];

// Signals whose default action ends the process. A run cut short by one
// (Ctrl-C, kill, a reader of stdout that went away, the file size limit)
// removes its temporary files on the way out, as a failed run does.
static const int kCleanupSignals[] = {SIGHUP, SIGINT, SIGPIPE, SIGTERM, SIGXFSZ};

static void removePendingTempsAndDie(int signalNumber) {
  for (int i = 0; i < kMaxPendingTemps; i++) {
    const char* temp = pendingTemps[i];
    if (temp) unlink(temp);  // async-signal-safe
  }
  // Installed with SA_RESETHAND: the default action is back, and the signal
  // raised again ends the process as it would have without the handler.
  raise(signalNumber);
}

static void installCleanupHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int signalNumber : kCleanupSignals) {
    // Only a default action is replaced: an ignored signal (nohup, a
    // background job) stays ignored, and a caller's own handler stays.
    struct sigaction current;
    if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction action = {};
    action.sa_handler = removePendingTempsAndDie;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(signalNumber, &action, nullptr);
  }
}

// While the table and the files it names change, the cleanup signals wait:
// a temporary file is never on disk without being in the table.
static sigset_t blockCleanupSignals() {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (int signalNumber : kCleanupSignals) sigaddset(&blocked, signalNumber);
  sigprocmask(SIG_BLOCK, &blocked, &previous);
  return previous;
}

static void restoreSignals(const sigset_t& previous) { sigprocmask(SIG_SETMASK, &previous, nullptr); }

// Call with the cleanup signals blocked.
static bool rememberPending(const std::string& tempPath) {
  for (int i = 0; i < kMaxPendingTemps; i++) {
    if (!pendingTemps[i]) {
      pendingTemps[i] = strdup(tempPath.c_str());
      return pendingTemps[i] != nullptr;
    }
  }
  return false;
}

static void forgetPending(const std::string& tempPath) {
  sigset_t previous = blockCleanupSignals();
  for (int i = 0; i < kMaxPendingTemps; i++) {
    char* temp = pendingTemps[i];
    if (temp && tempPath == temp) {
      pendingTemps[i] = nullptr;
      free(temp);
      break;
    }
  }
  restoreSignals(previous);
}

// Creates the temporary file `temp` (never an existing one) and enters it in
// the table. Returns its descriptor, or -1 with errno set, or -1 with
// *tooMany set when the table is full.
static int createTemp(const std::string& temp, bool* tooMany) {
  sigset_t previous = blockCleanupSignals();
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  int openErrno = errno;
  if (fd >= 0 && !rememberPending(temp)) {
    close(fd);
    unlink(temp.c_str());
    fd = -1;
    *tooMany = true;
  }
  restoreSignals(previous);
  errno = openErrno;
  return fd;
}

bool openOutput(const char* path, OutputFile* output, std::string* error) {
  output->path = path;
  installCleanupHandlers();
  // O_EXCL with a fresh name per attempt: never clobbers another file, and
  // the mode honours the umask like an ordinary fopen(..., "wb").
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string temp = output->path + ".tmp" + std::to_string(getpid()) + "-" +
                       std::to_string(counter++);
    bool tooMany = false;
    int fd = createTemp(temp, &tooMany);
    if (tooMany) {
      *error = "cannot create " + quoted(path) + ": too many outputs open at once";
      return false;
    }
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
      forgetPending(temp);
      return false;
    }
    output->tempPath = temp;
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
  sigset_t previous = blockCleanupSignals();
  for (int i = 0; i < kMaxPendingTemps; i++) {
    char* temp = pendingTemps[i];
    if (!temp) continue;
    unlink(temp);
    pendingTemps[i] = nullptr;
    free(temp);
  }
  restoreSignals(previous);
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

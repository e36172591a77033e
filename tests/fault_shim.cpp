// Preloaded (LD_PRELOAD) into a tool by the fault-injection tests: makes one
// chosen file operation fail as the system would, and logs the operations it
// sees. Only operations on relative paths are counted and logged: those of
// the tests' files, not of the loader or the runtime.
//
//   FAULT_LOG=FILE        appends "op<TAB>path" for each operation (a rename:
//                         "rename<TAB>from<TAB>to")
//   FAULT_NTH=N           the Nth counted operation fails (1-based)
//   FAULT_OP=OP           counts only operations named OP: open, write,
//                         fsync, close or rename
//   FAULT_NAME=TEXT       counts only operations on paths containing TEXT
//   FAULT_ERRNO=E         the failure's errno, a number (default EIO)
//   FAULT_NO_EXCHANGE=1   renameat2 with RENAME_EXCHANGE fails with EINVAL,
//                         as on a filesystem without it (not counted)
//   FAULT_RENAME_DELAY_MS=A,B,...  the first counted rename waits A ms, the
//                         second B ms, and so on; the last value repeats
//
// A failed write writes nothing; a failed close still closes, as close(2)
// does on Linux.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using OpenFunction = int (*)(const char*, int, ...);
using OpenAtFunction = int (*)(int, const char*, int, ...);
using WriteFunction = ssize_t (*)(int, const void*, size_t);
using FdFunction = int (*)(int);
using RenameFunction = int (*)(const char*, const char*);
using RenameAtFunction = int (*)(int, const char*, int, const char*);
using RenameAt2Function = int (*)(int, const char*, int, const char*, unsigned);

constexpr int kMaxTracked = 1024;
char* trackedPaths[kMaxTracked];  // by descriptor: the relative path it was opened with
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<long> counted{0};

bool relative(const char* path) { return path && path[0] != '/'; }

const char* pathOf(int fd) { return fd >= 0 && fd < kMaxTracked ? trackedPaths[fd] : nullptr; }

long envNumber(const char* name, long fallback) {
  const char* text = getenv(name);
  return text && *text ? strtol(text, nullptr, 10) : fallback;
}

void logLine(const char* op, const char* path, const char* second) {
  const char* logPath = getenv("FAULT_LOG");
  if (!logPath) return;
  static OpenFunction realOpen = next<OpenFunction>("open");
  static WriteFunction realWrite = next<WriteFunction>("write");
  static FdFunction realClose = next<FdFunction>("close");
  char line[4096];
  int length = second ? snprintf(line, sizeof line, "%s\t%s\t%s\n", op, path, second)
                      : snprintf(line, sizeof line, "%s\t%s\n", op, path);
  int fd = realOpen(logPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = realWrite(fd, line, size_t(length));
  (void)written;
  realClose(fd);
}

// Sleeps before a counted rename as FAULT_RENAME_DELAY_MS says: a list of
// milliseconds for the first, second, ... rename; the last one repeats.
void renameDelay() {
  static std::atomic<int> renames{0};
  const char* list = getenv("FAULT_RENAME_DELAY_MS");
  if (!list) return;
  int index = renames++;
  long delay = 0;
  for (int i = 0; i <= index && *list; i++) {
    char* end = nullptr;
    delay = strtol(list, &end, 10);
    list = *end == ',' ? end + 1 : end;
  }
  struct timespec pause = {delay / 1000, (delay % 1000) * 1000000};
  if (delay > 0) nanosleep(&pause, nullptr);
}

// Logs and counts an operation on `path` (and `second`, a rename's target);
// true when it is the one that must fail, with errno set.
bool failHere(const char* op, const char* path, const char* second = nullptr) {
  if (!path) return false;
  int savedErrno = errno;
  logLine(op, path, second);
  const char* onlyOp = getenv("FAULT_OP");
  const char* onlyName = getenv("FAULT_NAME");
  if (onlyOp && *onlyOp && strcmp(onlyOp, op) != 0) return false;
  if (onlyName && *onlyName && !strstr(path, onlyName) && !(second && strstr(second, onlyName))) return false;
  long number = ++counted;
  if (strcmp(op, "rename") == 0) renameDelay();
  errno = savedErrno;
  if (number != envNumber("FAULT_NTH", 0)) return false;
  errno = int(envNumber("FAULT_ERRNO", EIO));
  return true;
}

void track(int fd, const char* path) {
  if (fd < 0 || fd >= kMaxTracked || !relative(path)) return;
  pthread_mutex_lock(&lock);
  free(trackedPaths[fd]);
  trackedPaths[fd] = strdup(path);
  pthread_mutex_unlock(&lock);
}

void untrack(int fd) {
  if (fd < 0 || fd >= kMaxTracked) return;
  pthread_mutex_lock(&lock);
  free(trackedPaths[fd]);
  trackedPaths[fd] = nullptr;
  pthread_mutex_unlock(&lock);
}

int modeArgument(int flags, va_list arguments) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(arguments, int) : 0;
}

int openCommon(int dirFd, const char* path, int flags, int mode) {
  if (relative(path) && failHere("open", path)) return -1;
  static OpenAtFunction realOpenAt = next<OpenAtFunction>("openat");
  int fd = realOpenAt(dirFd, path, flags, mode);
  if (dirFd == AT_FDCWD) track(fd, path);
  return fd;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  int mode = modeArgument(flags, arguments);
  va_end(arguments);
  return openCommon(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  int mode = modeArgument(flags, arguments);
  va_end(arguments);
  return openCommon(AT_FDCWD, path, flags, mode);
}

int openat(int dirFd, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  int mode = modeArgument(flags, arguments);
  va_end(arguments);
  return openCommon(dirFd, path, flags, mode);
}

int openat64(int dirFd, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  int mode = modeArgument(flags, arguments);
  va_end(arguments);
  return openCommon(dirFd, path, flags, mode);
}

// The fortified entry points (_FORTIFY_SOURCE) of open without O_CREAT.
int __open_2(const char* path, int flags) { return openCommon(AT_FDCWD, path, flags, 0); }
int __open64_2(const char* path, int flags) { return openCommon(AT_FDCWD, path, flags, 0); }

ssize_t write(int fd, const void* data, size_t size) {
  static WriteFunction realWrite = next<WriteFunction>("write");
  if (failHere("write", pathOf(fd))) return -1;
  return realWrite(fd, data, size);
}

int fsync(int fd) {
  static FdFunction realFsync = next<FdFunction>("fsync");
  if (failHere("fsync", pathOf(fd))) return -1;
  return realFsync(fd);
}

int fdatasync(int fd) {
  static FdFunction realFdatasync = next<FdFunction>("fdatasync");
  if (failHere("fsync", pathOf(fd))) return -1;
  return realFdatasync(fd);
}

int close(int fd) {
  static FdFunction realClose = next<FdFunction>("close");
  bool fail = failHere("close", pathOf(fd));
  int failure = errno;
  untrack(fd);
  int result = realClose(fd);
  if (!fail) return result;
  errno = failure;
  return -1;
}

int rename(const char* from, const char* to) {
  static RenameFunction realRename = next<RenameFunction>("rename");
  if (relative(to) && failHere("rename", from, to)) return -1;
  return realRename(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  static RenameAtFunction realRenameAt = next<RenameAtFunction>("renameat");
  if (relative(to) && failHere("rename", from, to)) return -1;
  return realRenameAt(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  static RenameAt2Function realRenameAt2 = next<RenameAt2Function>("renameat2");
#ifdef RENAME_EXCHANGE
  if ((flags & RENAME_EXCHANGE) && envNumber("FAULT_NO_EXCHANGE", 0)) {
    errno = EINVAL;
    return -1;
  }
#endif
  if (relative(to) && failHere("rename", from, to)) return -1;
  return realRenameAt2(fromDir, from, toDir, to, flags);
}

}  // extern "C"

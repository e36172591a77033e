#include "temporary_files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The tool name in temporary names: letters, digits and '_' only, so that
// the name parses back (see ownerOf).
static char ownerName[32] = "tool";

// Temporary files opened and neither committed nor discarded, as a fixed
// table of C strings: the signal handler reads it, and a signal may arrive
// at any point. A tool has at most a few outputs open at once.
constexpr int kMaxPendingTemps = 8;
static char* volatile pendingTemps[kMaxPendingTemps];

// Signals raised by a fault of the thread itself.
static bool isSynchronous(int signalNumber) {
  return signalNumber == SIGSEGV || signalNumber == SIGBUS || signalNumber == SIGILL || signalNumber == SIGFPE ||
         signalNumber == SIGTRAP || signalNumber == SIGSYS;
}

// Every signal whose default action ends the process, but SIGKILL (which
// cannot be caught) and SIGXFSZ (ignored instead).
static int cleanupSignals(int* signals) {
  static const int kFixed[] = {
      SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP,   SIGABRT, SIGBUS,  SIGFPE, SIGUSR1, SIGSEGV,
      SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
      SIGSTKFLT,
#endif
#ifdef SIGPOLL
      SIGPOLL,
#endif
#ifdef SIGPWR
      SIGPWR,
#endif
  };
  int count = 0;
  for (int signalNumber : kFixed) signals[count++] = signalNumber;
#ifdef SIGRTMIN
  for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; signalNumber++) signals[count++] = signalNumber;
#endif
  return count;
}

constexpr int kMaxSignals = 128;

static void removePendingTempsAndDie(int signalNumber) {
  for (int i = 0; i < kMaxPendingTemps; i++) {
    const char* temp = pendingTemps[i];
    if (temp) unlink(temp);  // async-signal-safe
  }
  // Installed with SA_RESETHAND: the default action is back, and the signal
  // raised again ends the process as it would have without the handler.
  raise(signalNumber);
}

static sigset_t blockableCleanupSignals() {
  int signals[kMaxSignals];
  int count = cleanupSignals(signals);
  sigset_t set;
  sigemptyset(&set);
  for (int i = 0; i < count; i++)
    if (!isSynchronous(signals[i])) sigaddset(&set, signals[i]);
  return set;
}

static void installCleanupHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  // A write past the file size limit fails with EFBIG and a message.
  signal(SIGXFSZ, SIG_IGN);
  int signals[kMaxSignals];
  int count = cleanupSignals(signals);
  for (int i = 0; i < count; i++) {
    // Only a default action is replaced: an ignored signal (nohup, a
    // background job) stays ignored, and a handler installed before, such
    // as a sanitizer's, stays.
    struct sigaction current;
    if (sigaction(signals[i], nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction action = {};
    action.sa_handler = removePendingTempsAndDie;
    // A second signal waits while the first one cleans up.
    action.sa_mask = blockableCleanupSignals();
    action.sa_flags = SA_RESETHAND;
    sigaction(signals[i], &action, nullptr);
  }
}

void prepareTemporaries(const char* tool) {
  size_t length = 0;
  for (const char* c = tool; *c && length + 1 < sizeof ownerName; c++) {
    bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') || *c == '_';
    if (plain) ownerName[length++] = *c;
  }
  if (length > 0) ownerName[length] = '\0';
  installCleanupHandlers();
}

// Long target names are cut in temporary names so that the name stays
// below the usual 255-byte limit.
constexpr size_t kMaxTargetInName = 160;

std::string temporaryName(const std::string& target) {
  installCleanupHandlers();
  static unsigned counter = 0;
  size_t slash = target.rfind('/');
  size_t base = slash == std::string::npos ? 0 : slash + 1;
  return target.substr(0, base) + target.substr(base, kMaxTargetInName) + ".tmp-" + ownerName + "-" +
         std::to_string(getpid()) + "-" + std::to_string(counter++);
}

sigset_t blockCleanupSignals() {
  sigset_t blocked = blockableCleanupSignals(), previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  return previous;
}

void restoreSignals(const sigset_t& previous) { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }

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

void forgetTemporary(const std::string& path) {
  sigset_t previous = blockCleanupSignals();
  for (int i = 0; i < kMaxPendingTemps; i++) {
    char* temp = pendingTemps[i];
    if (temp && path == temp) {
      pendingTemps[i] = nullptr;
      free(temp);
      break;
    }
  }
  restoreSignals(previous);
}

void removeTemporary(const std::string& path) {
  sigset_t previous = blockCleanupSignals();
  unlink(path.c_str());
  forgetTemporary(path);
  restoreSignals(previous);
}

int createTemporary(const std::string& path, bool* tooMany) {
  sigset_t previous = blockCleanupSignals();
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  int openErrno = errno;
  if (fd >= 0 && !rememberPending(path)) {
    close(fd);
    unlink(path.c_str());
    fd = -1;
    *tooMany = true;
  }
  restoreSignals(previous);
  errno = openErrno;
  return fd;
}

void removeAllTemporaries() {
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

// True when `name` is "<anything>.tmp-<owner>-<pid>-<n>" for this tool;
// sets *pid.
static bool ownerOf(const char* name, pid_t* pid) {
  std::string text = name;
  std::string marker = std::string(".tmp-") + ownerName + "-";
  size_t at = text.rfind(marker);
  if (at == std::string::npos || at == 0) return false;
  const char* digits = text.c_str() + at + marker.size();
  char* end = nullptr;
  errno = 0;
  long value = strtol(digits, &end, 10);
  if (end == digits || *end != '-' || *digits < '0' || *digits > '9' || errno != 0 || value <= 0) return false;
  const char* counter = end + 1;
  if (*counter == '\0') return false;
  for (const char* c = counter; *c; c++)
    if (*c < '0' || *c > '9') return false;
  *pid = pid_t(value);
  return pid_t(value) == value;
}

void removeStaleTemporaries(const std::string& dir) {
  DIR* folder = opendir(dir.c_str());
  if (!folder) return;
  while (dirent* entry = readdir(folder)) {
    pid_t pid = 0;
    if (!ownerOf(entry->d_name, &pid) || pid == getpid()) continue;
    // EPERM: a live process of another user. Only "no such process" counts.
    if (kill(pid, 0) == 0 || errno != ESRCH) continue;
    std::string path = dir + "/" + entry->d_name;
    struct stat info;
    if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) unlink(path.c_str());
  }
  closedir(folder);
}

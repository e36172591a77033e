#include "progress.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
constexpr double kQuietSeconds = 0.5;

// Allocated by startProgress and never freed, so that nothing of it is
// destroyed at exit while the thread may still run.
struct ProgressState {
  ProgressPlan plan;
  std::atomic<uint64_t> done{0};
  Clock::time_point start;
  std::mutex terminal;  // held while the line is drawn or erased
  std::condition_variable wake;
  bool stopping = false;
  size_t shownWidth = 0;  // columns the line takes on screen; 0: none shown
  bool drawing = false;   // the half second has passed
  // The first moment a unit was seen done: the rate is measured from there,
  // so that start-up work does not count as units.
  bool haveFirstSample = false;
  uint64_t firstDone = 0;
  double firstSeconds = 0;
  std::thread ticker;
};

ProgressState* state = nullptr;

void writeAll(const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t written = write(STDERR_FILENO, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // a terminal that went away: nothing to show
    bytes += written;
    length -= size_t(written);
  }
}

size_t terminalColumns() {
  struct winsize size;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) return size.ws_col;
  return 80;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Call with the terminal lock held. The line never reaches the last column,
// so it never wraps and one carriage return brings the cursor back to its start.
void eraseLine(ProgressState& s) {
  if (s.shownWidth == 0) return;
  std::string blank = "\r" + std::string(s.shownWidth, ' ') + "\r";
  writeAll(blank.data(), blank.size());
  s.shownWidth = 0;
}

void drawLine(ProgressState& s) {
  double elapsed = secondsSince(s.start);
  uint64_t done = s.done.load(std::memory_order_relaxed);
  if (!s.haveFirstSample && done > 0) {
    s.haveFirstSample = true;
    s.firstDone = done;
    s.firstSeconds = elapsed;
  }
  if (!s.drawing && elapsed < kQuietSeconds) return;
  s.drawing = true;
  double left = s.haveFirstSample ? progressTimeLeft(s.plan, s.firstDone, s.firstSeconds, done, elapsed) : -1;
  std::string line = progressLine(s.plan, done, elapsed, left);
  size_t width = terminalColumns() - 1;
  if (line.size() > width) line.resize(width);
  std::string text = "\r" + line;
  if (line.size() < s.shownWidth) text += std::string(s.shownWidth - line.size(), ' ') + "\r" + line;
  writeAll(text.data(), text.size());
  s.shownWidth = line.size();
}

void tick(ProgressState* s) {
  std::unique_lock<std::mutex> lock(s->terminal);
  while (!s->stopping) {
    s->wake.wait_for(lock, kRedrawInterval);
    if (!s->stopping) drawLine(*s);
  }
}

std::string clockTime(double seconds) {
  uint64_t whole = uint64_t(seconds);
  char text[32];
  if (whole >= 3600)
    snprintf(text, sizeof text, "%llu:%02u:%02u", (unsigned long long)(whole / 3600), unsigned(whole / 60 % 60),
             unsigned(whole % 60));
  else
    snprintf(text, sizeof text, "%u:%02u", unsigned(whole / 60), unsigned(whole % 60));
  return text;
}

std::string amount(const ProgressPlan& plan, uint64_t units) {
  char text[32];
  if (plan.inMegabytes)
    snprintf(text, sizeof text, "%.1f", double(units) / 1e6);
  else
    snprintf(text, sizeof text, "%llu", (unsigned long long)units);
  return text;
}

// The work of the first `units` units, in units of the cheapest one.
double workOf(const ProgressPlan& plan, uint64_t units) {
  double k = double(units);
  if (plan.pace == ProgressPace::kEven) return k;
  double n = double(plan.total) + 1;  // the cost of the first unit
  return k * n - k * (k - 1) / 2;
}

}  // namespace

std::string progressLine(const ProgressPlan& plan, uint64_t done, double elapsedSeconds, double leftSeconds) {
  std::string line = std::string(plan.label) + ": ";
  if (plan.total == 0) {
    line += plan.unit;
  } else {
    line += amount(plan, done) + " of " + amount(plan, plan.total) + " " + plan.unit;
  }
  line += ", " + clockTime(elapsedSeconds) + " elapsed";
  if (plan.total != 0 && leftSeconds >= 0) line += ", about " + clockTime(leftSeconds + 0.5) + " left";
  return line;
}

double progressTimeLeft(const ProgressPlan& plan, uint64_t done1, double t1, uint64_t done2, double t2) {
  if (plan.total == 0 || done2 <= done1 || t2 <= t1) return -1;
  if (done2 >= plan.total) return 0;
  double rate = (workOf(plan, done2) - workOf(plan, done1)) / (t2 - t1);
  return (workOf(plan, plan.total) - workOf(plan, done2)) / rate;
}

void startProgress(const ProgressPlan& plan) {
  if (state || !isatty(STDERR_FILENO)) return;
  static bool endsAtExit = false;
  if (!endsAtExit) atexit(endProgress);
  endsAtExit = true;
  state = new ProgressState;
  state->plan = plan;
  state->start = Clock::now();
  // The thread starts with every signal blocked, so that signals go to the
  // main thread, which may hold them back while it changes what their
  // handlers look at.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  state->ticker = std::thread(tick, state);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void setProgress(uint64_t done) {
  if (state) state->done.store(done, std::memory_order_relaxed);
}

bool progressActive() { return state != nullptr; }

bool writeBesideProgress(const char* text, size_t length, FILE* stream) {
  std::unique_lock<std::mutex> lock;
  if (state) {
    lock = std::unique_lock<std::mutex>(state->terminal);
    eraseLine(*state);
  }
  bool ok = fwrite(text, 1, length, stream) == length;
  ok = fflush(stream) == 0 && ok;
  if (state && state->drawing) drawLine(*state);
  return ok;
}

void endProgress() {
  if (!state) return;
  {
    std::lock_guard<std::mutex> lock(state->terminal);
    state->stopping = true;
    eraseLine(*state);
  }
  state->wake.notify_all();
  if (state->ticker.joinable()) state->ticker.join();
  state = nullptr;  // never freed: see ProgressState
}

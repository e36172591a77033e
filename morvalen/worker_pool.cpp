#include "worker_pool.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>

#include <signal.h>

// Waking a sleeping thread takes tens of microseconds, as long as a small
// batch itself; a worker therefore spins this long for the next batch
// before it sleeps. The calling thread waits for the end of its batch
// without sleeping: that wait is as short as the longest task.
static constexpr auto kSpinTime = std::chrono::microseconds(200);
// A waiting thread spins on the pause instruction alone this long, then
// also yields its core: on a busy machine the thread it waits for may need
// it. Yielding is a system call, too dear for the waits of a quiet machine.
static constexpr auto kYieldAfter = std::chrono::microseconds(50);

// The workers start with every asynchronous signal blocked, so that signals
// sent to the process reach the main thread, which keeps the table of
// temporary files consistent with its own signal mask. Faults (SIGSEGV and
// the like) stay unblocked: blocked, they would kill without a report.
static sigset_t asynchronousSignals() {
  sigset_t set;
  sigfillset(&set);
  for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS}) sigdelset(&set, fault);
  return set;
}

WorkerPool::WorkerPool(unsigned threads)
    : shares_(new Share[threads < 1 ? 1 : threads]), shareStarts_(new uint32_t[threads < 1 ? 1 : threads]) {
  sigset_t blocked = asynchronousSignals(), previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  for (unsigned i = 1; i < threads; i++) workers_.emplace_back([this, i] { workerLoop(i); });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

WorkerPool::~WorkerPool() {
  stopping_ = true;
  { std::lock_guard<std::mutex> lock(mutex_); }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

// Claims and runs tasks, of the thread's own share first, then of the
// others' in turn, until every share is done. A claim past a share's end
// claims nothing.
void WorkerPool::runTasks(unsigned worker) {
  unsigned threads = threadCount();
  for (unsigned k = 0; k < threads; k++) {
    Share& share = shares_[(worker + k) % threads];
    for (uint32_t i = share.next.fetch_add(1, std::memory_order_relaxed); i < share.end;
         i = share.next.fetch_add(1, std::memory_order_relaxed)) {
      function_(context_, i, worker);
      if (help_ != nullptr) unfinished_.fetch_sub(1, std::memory_order_release);
    }
  }
}

void WorkerPool::helpUntilDone(unsigned worker) {
  if (help_ == nullptr) return;
  SpinWait wait;
  while (unfinished_.load(std::memory_order_acquire) != 0) {
    if (help_(helpContext_, worker))
      wait.reset();
    else
      wait.once();
  }
}

// Spins until `ready` holds or `limit` has passed; true if it holds.
template <typename Ready, typename Duration>
static bool spinUntil(Ready ready, Duration limit) {
  auto start = std::chrono::steady_clock::now();
  bool yielding = false;
  for (uint32_t round = 1;; round++) {
    if (ready()) return true;
    if (yielding)
      std::this_thread::yield();
    else
      pauseCore();
    if ((round & 63) == 0) {
      auto spent = std::chrono::steady_clock::now() - start;
      if (spent > limit) return false;
      yielding = spent > kYieldAfter;
    }
  }
}

// How a batch is handed over, without a lock:
// - The calling thread writes the batch and the shares, then opens it
//   (open_, then generation_, both sequentially consistent).
// - A worker that sees a new generation counts itself busy first, and only
//   then reads open_: it joins the batch open at that moment, or none.
// - The calling thread, once every share is done, closes the batch (open_
//   0), then waits for busy_ to be 0. A worker that counted itself busy
//   before that wait began is waited for; one that did so later reads open_
//   after the close (the order of sequentially consistent operations is
//   one total order), so it finds no batch or the next one, whose data was
//   written before it was opened. Either way no task is claimed twice or
//   from a batch whose data is being rewritten.
// - A worker goes to sleep only after counting itself among the sleepers
//   and seeing, under the mutex, no new generation; the calling thread
//   opens a batch before it reads sleepers_, and takes the mutex before it
//   wakes them. So no wake-up is lost, and a batch costs no system call
//   while the workers spin.
void WorkerPool::workerLoop(unsigned worker) {
  uint64_t seen = 0;
  for (;;) {
    auto arrived = [&] { return stopping_.load() || generation_.load() != seen; };
    if (!spinUntil(arrived, kSpinTime)) {
      sleepers_.fetch_add(1);
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, arrived);
      }
      sleepers_.fetch_sub(1);
    }
    if (stopping_) return;
    seen = generation_.load();
    busy_.fetch_add(1);
    uint64_t batch = open_.load();
    if (batch != 0) {
      if (batch > seen) seen = batch;
      runTasks(worker);
      helpUntilDone(worker);
    }
    busy_.fetch_sub(1);
  }
}

void WorkerPool::runBatch(uint32_t count, TaskFunction function, const void* context, bool chosen) {
  // A single task runs inline, unless idle threads could help it.
  if (workers_.empty() || count == 0 || (count == 1 && help_ == nullptr)) {
    for (uint32_t i = 0; i < count; i++) function(context, i, 0);
    return;
  }
  unsigned threads = threadCount();
  function_ = function;
  context_ = context;
  // Share w is tasks start(w) .. start(w + 1) - 1; a caller's starts are
  // made ascending and at most count, so the shares cover every task once.
  auto start = [&](unsigned w) {
    if (w == 0) return 0u;
    if (w == threads) return count;
    return chosen ? std::min(count, shareStarts_[w]) : uint32_t(uint64_t(count) * w / threads);
  };
  uint32_t from = 0;
  for (unsigned w = 0; w < threads; w++) {
    uint32_t to = std::max(from, start(w + 1));
    shares_[w].next.store(from, std::memory_order_relaxed);
    shares_[w].end = to;
    from = to;
  }
  unfinished_.store(count, std::memory_order_relaxed);
  lastBatch_++;
  open_.store(lastBatch_);
  generation_.store(lastBatch_);
  if (sleepers_.load() > 0) {
    { std::lock_guard<std::mutex> lock(mutex_); }
    wake_.notify_all();
  }
  runTasks(0);
  helpUntilDone(0);
  // Every task is claimed now; close the batch and wait for the workers
  // still running theirs.
  open_.store(0);
  spinUntil([&] { return busy_.load() == 0; }, std::chrono::steady_clock::duration::max());
}

unsigned defaultThreadCount() {
  unsigned hardware = std::thread::hardware_concurrency();
  return hardware == 0 ? 1 : hardware;
}

bool parseThreadCount(const char* text, unsigned* threads, std::string* error) {
  char* end = nullptr;
  errno = 0;
  unsigned long value = strtoul(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || text[0] == '-' || value < 1 || value > kMaxThreads) {
    *error = "expected a number of threads from 1 to " + std::to_string(kMaxThreads) + ", got \"" + text + "\"";
    return false;
  }
  *threads = unsigned(value);
  return true;
}

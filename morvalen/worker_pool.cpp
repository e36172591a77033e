#include "worker_pool.h"

#include <chrono>
#include <cerrno>
#include <cstdlib>

#include <signal.h>

// Waking a sleeping thread takes tens of microseconds, as long as a small
// batch itself; a thread therefore spins this long for the next batch (or
// for the end of the current one) before it sleeps.
static constexpr auto kSpinTime = std::chrono::microseconds(200);

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

WorkerPool::WorkerPool(unsigned threads) {
  sigset_t blocked = asynchronousSignals(), previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  for (unsigned i = 1; i < threads; i++) workers_.emplace_back([this, i] { workerLoop(i); });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void WorkerPool::runTasks(TaskFunction function, const void* context, uint32_t count, unsigned worker) {
  // A worker that joins after its batch was closed sees count 0. It must not
  // touch next_: the next batch may already have reset it, and a claim made
  // here would take that batch's task 0 without running it.
  if (count == 0) return;
  for (uint32_t i = next_.fetch_add(1); i < count; i = next_.fetch_add(1)) function(context, i, worker);
}

// Spins until `ready` holds or kSpinTime has passed; true if it holds.
template <typename Ready>
static bool spinUntil(Ready ready) {
  auto start = std::chrono::steady_clock::now();
  for (uint32_t round = 0;; round++) {
    if (ready()) return true;
    // On a busy machine the thread we wait for may need this core.
    if (round >= 1024) std::this_thread::yield();
    if ((round & 63) == 63 && std::chrono::steady_clock::now() - start > kSpinTime) return false;
  }
}

// A worker joins a batch under the lock, so that the batch it sees (task,
// count) is the current one, and run() does not return, nor start another
// batch, while a worker that joined is still at work. A worker that wakes
// after its batch is done joins the next one, or finds no task left: run()
// never waits for a worker that is slow to wake.
void WorkerPool::workerLoop(unsigned worker) {
  uint64_t seen = 0;
  for (;;) {
    if (!spinUntil([&] { return stopping_.load() || generation_.load(std::memory_order_acquire) != seen; })) {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_.load() || generation_.load() != seen; });
    }
    TaskFunction function;
    const void* context;
    uint32_t count;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      seen = generation_.load();
      function = function_;
      context = context_;
      count = count_;
      busy_++;
    }
    runTasks(function, context, count, worker);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (--busy_ == 0) done_.notify_one();
    }
  }
}

void WorkerPool::runBatch(uint32_t count, TaskFunction function, const void* context) {
  if (workers_.empty() || count < 2) {
    for (uint32_t i = 0; i < count; i++) function(context, i, 0);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    function_ = function;
    context_ = context;
    count_ = count;
    next_.store(0);
    generation_.fetch_add(1, std::memory_order_release);
  }
  wake_.notify_all();
  runTasks(function, context, count, 0);
  // Every task is claimed now; wait for the workers still running theirs.
  // The batch is closed under the lock: a worker that joins later finds no
  // task, and one that joined just before is waited for.
  spinUntil([&] { return busy_.load(std::memory_order_acquire) == 0; });
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return busy_.load() == 0; });
  count_ = 0;
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

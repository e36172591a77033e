// A fixed set of worker threads that run the numbered tasks of a batch.
//
// run(count, task) calls task(i) once for every i in 0..count-1, spread over
// the workers and the calling thread, and returns when all are done. Tasks
// write only to their own slots, so the results of a batch do not depend on
// which thread ran which task, nor on how many threads there are.
// runOnWorkers(count, task) calls task(i, worker) instead, with the number of
// the thread that runs it (0 for the calling thread, below threadCount()):
// a task may use scratch memory of that thread's own, which no other task
// touches while it runs.
//
// runOnWorkersHelping(count, task, help) is runOnWorkers(count, task), but a
// thread that finds no task left to claim calls help(worker) over and over
// until every task of the batch has finished: an idle thread may then take
// on part of a long task's work, which the task offers and help finds.
// help returns whether it found any.
//
// Each thread first runs the tasks of its own share: the task numbers are
// cut into threadCount() consecutive shares of equal size, thread w taking
// the w-th. Only a thread whose share is done takes tasks of the others'.
// A caller that numbers its tasks in the order of the data they touch (and
// of about equal work) therefore finds the same data on the same thread
// batch after batch, in that core's own cache.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Tells the core that the thread spins, waiting for another.
inline void pauseCore() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// One round of a spin wait: the pause instruction while the wait is short,
// then a yield of the core, as on a busy machine (or with more threads than
// cores) the thread waited for may need it. reset() after progress.
class SpinWait {
 public:
  void once() {
    if (rounds_ < kPausesBeforeYield) {
      rounds_++;
      pauseCore();
    } else {
      std::this_thread::yield();
    }
  }
  void reset() { rounds_ = 0; }

 private:
  // Some tens of microseconds of pauses.
  static constexpr uint32_t kPausesBeforeYield = 1024;
  uint32_t rounds_ = 0;
};

class WorkerPool {
 public:
  // `threads` counts the calling thread too; 0 or 1 runs every task inline.
  explicit WorkerPool(unsigned threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  unsigned threadCount() const { return unsigned(workers_.size()) + 1; }

  // task(i) for every i; the task is called through a plain pointer, so
  // starting a batch allocates nothing.
  template <typename Task>
  void run(uint32_t count, const Task& task) {
    runBatch(count, [](const void* context, uint32_t i, unsigned) { (*static_cast<const Task*>(context))(i); },
             &task, false);
  }

  // task(i, worker) for every i.
  template <typename Task>
  void runOnWorkers(uint32_t count, const Task& task) {
    runBatch(count, [](const void* context, uint32_t i, unsigned worker) {
      (*static_cast<const Task*>(context))(i, worker);
    }, &task, false);
  }

  // task(i, worker) for every i; idle threads call help(worker) meanwhile.
  template <typename Task, typename Help>
  void runOnWorkersHelping(uint32_t count, const Task& task, const Help& help) {
    help_ = [](const void* context, unsigned worker) { return (*static_cast<const Help*>(context))(worker); };
    helpContext_ = &help;
    runBatch(count, [](const void* context, uint32_t i, unsigned worker) {
      (*static_cast<const Task*>(context))(i, worker);
    }, &task, false);
    help_ = nullptr;
  }

  // task(i, worker) for every i, with the shares chosen by the caller:
  // thread w's share starts at task shareStart(w) for w = 1 .. threadCount()
  // - 1 (taken as ascending and at most count; thread 0's starts at 0).
  template <typename Task, typename ShareStart>
  void runOnWorkers(uint32_t count, const Task& task, const ShareStart& shareStart) {
    for (unsigned w = 1; w < threadCount(); w++) shareStarts_[w] = shareStart(w);
    runBatch(count, [](const void* context, uint32_t i, unsigned worker) {
      (*static_cast<const Task*>(context))(i, worker);
    }, &task, true);
  }

 private:
  using TaskFunction = void (*)(const void* context, uint32_t index, unsigned worker);
  using HelpFunction = bool (*)(const void* context, unsigned worker);
  // One thread's share of a batch: tasks next..end-1 are still unclaimed.
  // On a cache line of its own, as its owner claims from it all the time.
  struct alignas(64) Share {
    std::atomic<uint32_t> next{0};
    uint32_t end = 0;
  };
  // Starts the shares at shareStarts_ when `chosen`, else cuts them even.
  void runBatch(uint32_t count, TaskFunction function, const void* context, bool chosen);
  void workerLoop(unsigned worker);
  void runTasks(unsigned worker);
  // While the batch has help, calls it until every task has finished.
  void helpUntilDone(unsigned worker);

  std::vector<std::thread> workers_;
  std::unique_ptr<Share[]> shares_;         // [thread]
  std::unique_ptr<uint32_t[]> shareStarts_;  // [thread]: a caller's choice
  // The batch; written by the calling thread only while no worker is in
  // a batch (busy_ is 0), read by workers that joined the open batch.
  TaskFunction function_ = nullptr;
  const void* context_ = nullptr;
  HelpFunction help_ = nullptr;     // of the batch, when it has help
  const void* helpContext_ = nullptr;
  std::atomic<uint32_t> unfinished_{0};  // tasks not yet finished, while the batch has help
  uint64_t lastBatch_ = 0;              // the calling thread's count of batches
  std::atomic<uint64_t> generation_{0};  // the latest batch opened
  std::atomic<uint64_t> open_{0};        // the batch open now, 0 when none
  std::atomic<unsigned> busy_{0};        // workers in a batch
  std::atomic<unsigned> sleepers_{0};    // workers asleep or going to sleep
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
};

// Every hardware thread (at least 1).
unsigned defaultThreadCount();

constexpr unsigned kMaxThreads = 1024;

// Reads a thread count, a decimal number from 1 to kMaxThreads; false with
// *error set otherwise.
bool parseThreadCount(const char* text, unsigned* threads, std::string* error);

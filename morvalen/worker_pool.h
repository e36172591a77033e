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
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
             &task);
  }

  // task(i, worker) for every i.
  template <typename Task>
  void runOnWorkers(uint32_t count, const Task& task) {
    runBatch(count, [](const void* context, uint32_t i, unsigned worker) {
      (*static_cast<const Task*>(context))(i, worker);
    }, &task);
  }

 private:
  using TaskFunction = void (*)(const void* context, uint32_t index, unsigned worker);
  void runBatch(uint32_t count, TaskFunction function, const void* context);
  void workerLoop(unsigned worker);
  void runTasks(TaskFunction function, const void* context, uint32_t count, unsigned worker);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  TaskFunction function_ = nullptr;
  const void* context_ = nullptr;
  uint32_t count_ = 0;
  std::atomic<uint32_t> next_{0};
  std::atomic<uint64_t> generation_{0};
  std::atomic<unsigned> busy_{0};
  std::atomic<bool> stopping_{false};
};

// Every hardware thread (at least 1).
unsigned defaultThreadCount();

constexpr unsigned kMaxThreads = 1024;

// Reads a thread count, a decimal number from 1 to kMaxThreads; false with
// *error set otherwise.
bool parseThreadCount(const char* text, unsigned* threads, std::string* error);

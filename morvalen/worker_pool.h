// A fixed set of worker threads that run the numbered tasks of a batch.
//
// run(count, task) calls task(i) once for every i in 0..count-1, spread over
// the workers and the calling thread, and returns when all are done. Tasks
// write only to their own slots, so the results of a batch do not depend on
// which thread ran which task, nor on how many threads there are.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
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
  void run(uint32_t count, const std::function<void(uint32_t)>& task);

 private:
  void workerLoop();
  void runTasks(const std::function<void(uint32_t)>& task, uint32_t count);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void(uint32_t)>* task_ = nullptr;
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

// The worker pool: every task of every batch runs once, whether the workers
// spin, sleep or join late, and whatever the shares of the threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "worker_pool.h"

namespace {

// Many tiny batches back to back: a worker often wakes only after its batch
// is over, and must then leave the next batch's tasks alone.
TEST(MorvalenWorkerPool, LateWorkersLoseNoTaskOfTheNextBatch) {
  for (unsigned threads : {2u, 3u}) {
    WorkerPool pool(threads);
    std::vector<int> runs(2);
    for (int batch = 0; batch < 20000; batch++) {
      runs.assign(2, 0);
      pool.run(2, [&](uint32_t i) { runs[i]++; });
      ASSERT_EQ(runs, (std::vector<int>{1, 1})) << threads << " threads, batch " << batch;
    }
  }
}

// Batches far apart find the workers asleep; each must still be run whole,
// by the calling thread alone if no worker wakes in time.
TEST(MorvalenWorkerPool, SleepingWorkersWakeForTheNextBatch) {
  for (unsigned threads : {2u, 7u}) {
    WorkerPool pool(threads);
    for (int batch = 0; batch < 6; batch++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(batch % 2 == 0 ? 2 : 0));
      std::vector<std::atomic<int>> runs(50);
      pool.run(50, [&](uint32_t i) { runs[i]++; });
      for (uint32_t i = 0; i < 50; i++) ASSERT_EQ(runs[i].load(), 1) << threads << " threads, batch " << batch;
    }
  }
}

// A thread whose share is done takes tasks of the others': one slow share
// does not leave its tasks to its owner alone, and every task still runs
// once, on a thread number below threadCount().
TEST(MorvalenWorkerPool, FinishedThreadsTakeTasksOfSlowShares) {
  WorkerPool pool(2);
  std::vector<unsigned> ranOn(40, 99);
  std::vector<std::atomic<int>> runs(40);
  pool.runOnWorkers(40, [&](uint32_t i, unsigned worker) {
    ranOn[i] = worker;
    runs[i]++;
    // The calling thread's share (the first half) is slow.
    if (worker == 0 && i < 20) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  for (uint32_t i = 0; i < 40; i++) {
    ASSERT_EQ(runs[i].load(), 1) << "task " << i;
    ASSERT_LT(ranOn[i], 2u) << "task " << i;
  }
}

// Shares chosen by the caller, even out of order or past the last task,
// still cover every task once.
TEST(MorvalenWorkerPool, ChosenSharesRunEveryTaskOnce) {
  for (unsigned threads : {2u, 3u, 7u}) {
    WorkerPool pool(threads);
    for (uint32_t count : {0u, 1u, 5u, 300u}) {
      std::vector<std::atomic<int>> runs(count);
      pool.runOnWorkers(count, [&](uint32_t i, unsigned) { runs[i]++; },
                        [&](unsigned w) { return w % 2 == 1 ? count + 7 : count / (w + 1); });
      for (uint32_t i = 0; i < count; i++) ASSERT_EQ(runs[i].load(), 1) << threads << " threads, task " << i;
    }
  }
}

// While a task runs, the threads that found no task left call help, and
// stop once every task has finished (else the batch would not return): a
// single task is not run inline when it can be helped, and the work it
// offers is done by another thread. Every task still runs once.
TEST(MorvalenWorkerPool, IdleThreadsHelpUntilEveryTaskHasFinished) {
  for (unsigned threads : {2u, 3u, 7u}) {
    WorkerPool pool(threads);
    for (uint32_t count : {1u, 2u, 9u}) {
      std::vector<std::atomic<int>> runs(count);
      std::atomic<int> offered{-1}, helpedBy{-1};
      pool.runOnWorkersHelping(
          count,
          [&](uint32_t i, unsigned worker) {
            runs[i]++;
            if (i == 0) {
              // Offers work, and waits until another thread has taken it.
              offered = int(worker);
              auto start = std::chrono::steady_clock::now();
              while (helpedBy.load() < 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
                std::this_thread::yield();
            }
          },
          [&](unsigned worker) {
            int owner = offered.load();
            int none = -1;
            return owner >= 0 && owner != int(worker) && helpedBy.compare_exchange_strong(none, int(worker));
          });
      for (uint32_t i = 0; i < count; i++) ASSERT_EQ(runs[i].load(), 1) << threads << " threads, task " << i;
      EXPECT_GE(helpedBy.load(), 0) << threads << " threads, " << count << " tasks";
      EXPECT_NE(helpedBy.load(), offered.load()) << threads << " threads, " << count << " tasks";
    }
  }
  // Alone, the calling thread runs the tasks and is never asked to help.
  WorkerPool alone(1);
  bool helped = false;
  int runs = 0;
  alone.runOnWorkersHelping(3, [&](uint32_t, unsigned) { runs++; }, [&](unsigned) { return helped = true; });
  EXPECT_EQ(runs, 3);
  EXPECT_FALSE(helped);
}

TEST(MorvalenWorkerPool, RunsEveryTaskOnce) {
  for (unsigned threads : {1u, 2u, 7u}) {
    WorkerPool pool(threads);
    for (uint32_t count : {0u, 1u, 2u, 100u, 5000u}) {
      std::vector<int> runs(count, 0);
      pool.run(count, [&](uint32_t i) { runs[i]++; });
      for (uint32_t i = 0; i < count; i++) ASSERT_EQ(runs[i], 1) << threads << " threads, task " << i;
    }
  }
}

}  // namespace

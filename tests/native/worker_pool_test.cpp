#include "tavol/worker_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tavol/errors.hpp"

using namespace std::chrono_literals;

namespace {

std::size_t wait_all(tavol::WorkerPool &pool) {
  std::size_t done = 0;
  for (int i = 0; i < 400 && !pool.done(); ++i)
    done = pool.wait_for(50ms);
  pool.join();
  return pool.finished() > done ? pool.finished() : done;
}

} // namespace

TEST(WorkerPool, RunsEveryIndexExactlyOnce) {
  std::vector<std::atomic<int>> hits(1000);
  tavol::WorkerPool pool(hits.size(), 4, [&](std::size_t i) { hits[i].fetch_add(1); });
  EXPECT_EQ(wait_all(pool), hits.size());
  for (auto &h : hits)
    EXPECT_EQ(h.load(), 1);
  EXPECT_NO_THROW(pool.rethrow_if_failed());
}

// Tasks after the failing one hold their thread until the pool is cancelled,
// so how many run does not depend on how the threads are scheduled: the
// tasks before it, itself, and at most one more per thread.
TEST(WorkerPool, FirstFailureCancelsAndIsRethrown) {
  constexpr int kThreads = 2;
  std::atomic<int> ran{0};
  std::atomic<tavol::WorkerPool *> self{nullptr};
  tavol::WorkerPool pool(10000, kThreads, [&](std::size_t i) {
    ran.fetch_add(1);
    if (i == 3)
      throw std::runtime_error("boom at 3");
    if (i > 3)
      while (self.load() == nullptr || !self.load()->cancelled())
        std::this_thread::yield();
  });
  self.store(&pool);
  wait_all(pool);
  EXPECT_TRUE(pool.cancelled());
  EXPECT_LE(ran.load(), 4 + kThreads);
  EXPECT_THROW(pool.rethrow_if_failed(), std::runtime_error);
}

// Every task waits for the cancel, so no thread can start a second one.
TEST(WorkerPool, CancelStopsStartingTasks) {
  constexpr int kThreads = 2;
  std::atomic<int> ran{0};
  std::atomic<bool> cancelled{false};
  tavol::WorkerPool pool(1000, kThreads, [&](std::size_t) {
    ran.fetch_add(1);
    while (!cancelled.load())
      std::this_thread::yield();
  });
  while (ran.load() == 0)
    std::this_thread::yield();
  pool.cancel();
  cancelled.store(true);
  pool.join();
  EXPECT_TRUE(pool.done());
  EXPECT_LE(ran.load(), kThreads);
}

TEST(WorkerPool, EmptyBatchAndBadThreadCount) {
  tavol::WorkerPool empty(0, 8, [](std::size_t) {});
  EXPECT_EQ(empty.wait_for(1ms), 0u);
  EXPECT_TRUE(empty.done());
  EXPECT_THROW(tavol::WorkerPool(5, 0, [](std::size_t) {}), tavol::InvalidArgument);
}

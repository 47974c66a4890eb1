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

TEST(WorkerPool, FirstFailureCancelsAndIsRethrown) {
  std::atomic<int> ran{0};
  tavol::WorkerPool pool(10000, 2, [&](std::size_t i) {
    ran.fetch_add(1);
    if (i == 3)
      throw std::runtime_error("boom at 3");
  });
  wait_all(pool);
  EXPECT_TRUE(pool.cancelled());
  EXPECT_LT(ran.load(), 10000);
  EXPECT_THROW(pool.rethrow_if_failed(), std::runtime_error);
}

TEST(WorkerPool, CancelStopsStartingTasks) {
  std::atomic<int> ran{0};
  tavol::WorkerPool pool(1000, 2, [&](std::size_t) {
    ran.fetch_add(1);
    std::this_thread::sleep_for(2ms);
  });
  std::this_thread::sleep_for(10ms);
  pool.cancel();
  pool.join();
  EXPECT_TRUE(pool.done());
  EXPECT_LT(ran.load(), 1000);
}

TEST(WorkerPool, EmptyBatchAndBadThreadCount) {
  tavol::WorkerPool empty(0, 8, [](std::size_t) {});
  EXPECT_EQ(empty.wait_for(1ms), 0u);
  EXPECT_TRUE(empty.done());
  EXPECT_THROW(tavol::WorkerPool(5, 0, [](std::size_t) {}), tavol::InvalidArgument);
}

// Counting semaphore and hand-over lock: counts, waits, wake-ups, cross-thread release.
#include "tavol/semaphore.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "tavol/errors.hpp"

using namespace std::chrono_literals;

namespace {

TEST(SemaphoreTest, CountsDownToZeroThenRefuses) {
  tavol::Semaphore s(2);
  EXPECT_TRUE(s.try_acquire());
  EXPECT_TRUE(s.try_acquire());
  EXPECT_FALSE(s.try_acquire());
  EXPECT_EQ(s.value(), 0);
  s.release(3);
  EXPECT_EQ(s.value(), 3);
  EXPECT_THROW(tavol::Semaphore(-1), tavol::InvalidArgument);
  EXPECT_THROW(s.release(0), tavol::InvalidArgument);
}

TEST(SemaphoreTest, TimedAcquireGivesUpAfterItsTime) {
  tavol::Semaphore s(0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.try_acquire_for(30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(SemaphoreTest, ReleaseFromAnotherThreadWakesTheWaiter) {
  tavol::Semaphore s(0);
  auto waiter = std::async(std::launch::async, [&] { return s.try_acquire_for(5s); });
  EXPECT_EQ(waiter.wait_for(20ms), std::future_status::timeout);
  s.release();
  ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(waiter.get());
  EXPECT_EQ(s.value(), 0);
}

TEST(SemaphoreTest, SettingTheCountWakesEveryWaiterItAdmits) {
  tavol::Semaphore s(0);
  std::vector<std::future<bool>> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.push_back(std::async(std::launch::async, [&] { return s.try_acquire_for(5s); }));
  std::this_thread::sleep_for(20ms);
  s.set_value(3);
  for (auto &w : waiters)
    EXPECT_TRUE(w.get());
  EXPECT_EQ(s.value(), 0);
  EXPECT_THROW(s.set_value(-1), tavol::InvalidArgument);
}

// Many threads move counts back and forth; the total is conserved.
TEST(SemaphoreTest, ConcurrentAcquireAndReleaseConserveTheCount) {
  tavol::Semaphore s(4);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        if (!s.try_acquire_for(5s)) {
          ++failures;
          return;
        }
        s.release();
      }
    });
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(s.value(), 4);
}

// The lock lives beside the semaphore: a binary gate that any thread may open.
TEST(SemaphoreLockTest, IsNotReentrantAndRefusesASecondRelease) {
  tavol::Lock l;
  EXPECT_FALSE(l.locked());
  l.lock();
  EXPECT_TRUE(l.locked());
  EXPECT_FALSE(l.try_lock());
  EXPECT_FALSE(l.try_lock_for(10ms));
  l.unlock();
  EXPECT_FALSE(l.locked());
  try {
    l.unlock();
    FAIL() << "releasing an unlocked lock must fail";
  } catch (const tavol::Error &e) {
    EXPECT_STREQ(e.what(), "release unlocked lock");
  }
}

TEST(SemaphoreLockTest, AnotherThreadCanHandTheLockBack) {
  tavol::Lock l;
  l.lock();
  auto waiter = std::async(std::launch::async, [&] { return l.try_lock_for(5s); });
  EXPECT_EQ(waiter.wait_for(20ms), std::future_status::timeout);
  std::thread([&] { l.unlock(); }).join();
  EXPECT_TRUE(waiter.get());
  EXPECT_TRUE(l.locked());
}

TEST(SemaphoreLockTest, GuardsACounterAcrossThreads) {
  tavol::Lock l;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        std::lock_guard hold(l);
        ++counter;
      }
    });
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(counter, 20000);
}

} // namespace

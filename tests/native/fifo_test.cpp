// Bounded FIFO: order, capacity, timed waits, the exposed lock, direct emptying.
#include "tavol/fifo.hpp"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

TEST(FifoTest, KeepsOrderAndCapacity) {
  tavol::Fifo<int> q(2);
  int a = 1, b = 2, c = 3;
  EXPECT_TRUE(q.empty());
  EXPECT_TRUE(q.try_put(a));
  EXPECT_TRUE(q.try_put(b));
  EXPECT_TRUE(q.full());
  EXPECT_FALSE(q.put_for(c, 10ms));
  EXPECT_EQ(c, 3); // a refused item stays with the caller
  EXPECT_EQ(q.try_get(), 1);
  EXPECT_EQ(q.try_get(), 2);
  EXPECT_EQ(q.try_get(), std::nullopt);
  EXPECT_EQ(q.get_for(10ms), std::nullopt);
}

TEST(FifoTest, UnboundedQueueIsNeverFullAndCapacityCanChange) {
  tavol::Fifo<int> q;
  for (int i = 0; i < 100; ++i) {
    int v = i;
    ASSERT_TRUE(q.try_put(v));
  }
  EXPECT_FALSE(q.full());
  q.set_maxsize(100);
  EXPECT_TRUE(q.full());
  q.set_maxsize(101);
  EXPECT_FALSE(q.full());
}

TEST(FifoTest, MovesItemsWithoutCopying) {
  tavol::Fifo<std::unique_ptr<int>> q(1);
  auto p = std::make_unique<int>(7);
  ASSERT_TRUE(q.try_put(p));
  EXPECT_EQ(p, nullptr);
  auto out = q.try_get();
  ASSERT_TRUE(out && *out);
  EXPECT_EQ(**out, 7);
}

TEST(FifoTest, GetWaitsForAPutFromAnotherThread) {
  tavol::Fifo<int> q(1);
  auto getter = std::async(std::launch::async, [&] { return q.get_for(5s); });
  EXPECT_EQ(getter.wait_for(20ms), std::future_status::timeout);
  int v = 42;
  ASSERT_TRUE(q.put_for(v, 1s));
  EXPECT_EQ(getter.get(), 42);
}

TEST(FifoTest, PutOnAFullQueueWaitsForAGet) {
  tavol::Fifo<int> q(1);
  int a = 1;
  ASSERT_TRUE(q.try_put(a));
  auto putter = std::async(std::launch::async, [&] {
    int b = 2;
    return q.put_for(b, 5s);
  });
  EXPECT_EQ(putter.wait_for(20ms), std::future_status::timeout);
  EXPECT_EQ(q.try_get(), 1);
  EXPECT_TRUE(putter.get());
  EXPECT_EQ(q.try_get(), 2);
}

TEST(FifoTest, HoldingTheMutexStopsPutAndGet) {
  tavol::Fifo<int> q(0);
  int a = 1;
  ASSERT_TRUE(q.try_put(a));
  q.mutex().lock();
  int b = 2;
  EXPECT_FALSE(q.put_for(b, 10ms));
  EXPECT_EQ(q.get_for(10ms), std::nullopt);
  // Reading and emptying the sequence directly does not need the mutex.
  std::vector<int> seen;
  q.visit([&](int v) { seen.push_back(v); });
  EXPECT_EQ(seen, std::vector<int>{1});
  EXPECT_EQ(q.take_all().size(), 1u);
  q.mutex().unlock();
  EXPECT_TRUE(q.try_put(b));
}

TEST(FifoTest, TakeAllEmptiesInOrderAndLetsWaitingPuttersIn) {
  tavol::Fifo<int> q(2);
  for (int i : {1, 2}) {
    int v = i;
    ASSERT_TRUE(q.try_put(v));
  }
  auto putter = std::async(std::launch::async, [&] {
    int v = 3;
    return q.put_for(v, 5s);
  });
  EXPECT_EQ(putter.wait_for(20ms), std::future_status::timeout);
  const auto taken = q.take_all();
  EXPECT_EQ(std::vector<int>(taken.begin(), taken.end()), (std::vector<int>{1, 2}));
  EXPECT_TRUE(putter.get());
  EXPECT_EQ(q.qsize(), 1u);
}

// Several producers and consumers: every item comes out exactly once, and
// each producer's items come out in the order it put them.
TEST(FifoTest, ManyProducersAndConsumersDeliverEveryItemOnce) {
  constexpr int kProducers = 3, kConsumers = 3, kItems = 3000;
  tavol::Fifo<int> q(4);
  std::vector<std::vector<int>> got(kConsumers);
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p)
    threads.emplace_back([&, p] {
      for (int i = 0; i < kItems; ++i) {
        int v = p * kItems + i;
        ASSERT_TRUE(q.put_for(v, 5s));
      }
    });
  for (int c = 0; c < kConsumers; ++c)
    threads.emplace_back([&, c] {
      for (;;) {
        auto v = q.get_for(5s);
        ASSERT_TRUE(v.has_value());
        if (*v < 0)
          return;
        got[c].push_back(*v);
      }
    });
  for (int p = 0; p < kProducers; ++p)
    threads[p].join();
  for (int c = 0; c < kConsumers; ++c) {
    int stop = -1;
    ASSERT_TRUE(q.put_for(stop, 5s));
  }
  for (int c = 0; c < kConsumers; ++c)
    threads[kProducers + c].join();

  std::set<int> all;
  for (const auto &g : got) {
    std::vector<int> last(kProducers, -1);
    for (int v : g) {
      EXPECT_TRUE(all.insert(v).second) << "delivered twice: " << v;
      EXPECT_GT(v % kItems, last[v / kItems]);
      last[v / kItems] = v % kItems;
    }
  }
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kProducers * kItems));
}

} // namespace

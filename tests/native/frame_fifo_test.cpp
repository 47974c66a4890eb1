// The frame buffer protocol: drop and blocking adds, gets, clear, the
// recording, give-up paths, and a churn of producers, consumers and clears.
#include "tavol/frame_fifo.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct TimedOut : std::runtime_error {
  TimedOut() : std::runtime_error("wait timed out") {}
};

// Waits at most `limit` in total, then throws, so a broken buffer fails a test instead of hanging.
struct BoundedWait {
  std::chrono::milliseconds limit{5000};
  template <class F> void operator()(F &&try_for) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!try_for(std::chrono::milliseconds(10)))
      if (std::chrono::steady_clock::now() > deadline)
        throw TimedOut();
  }
};

// Owns the parts, as the binding's objects do, and hands out the protocol.
template <typename T> struct Parts {
  explicit Parts(std::size_t size)
      : size(size), free_slots(static_cast<std::int64_t>(size)), data_queue(size) {}
  std::size_t size;
  tavol::Semaphore free_slots, used_slots{0}, clear_add{1}, clear_get{1};
  tavol::Lock queue_mutex;
  tavol::Fifo<T> data_queue;
  tavol::Lock rec_mutex;
  tavol::Semaphore rec_free_slots{0};
  tavol::Fifo<T> rec_queue;

  tavol::FrameFifo<T> fifo() {
    return {size,        free_slots, used_slots, clear_add,      clear_get,
            queue_mutex, data_queue, rec_mutex,  rec_free_slots, rec_queue};
  }
  // Holds while nothing is under way.
  void expect_balanced() const {
    EXPECT_EQ(free_slots.value() + used_slots.value(), static_cast<std::int64_t>(size));
    EXPECT_EQ(static_cast<std::size_t>(used_slots.value()), data_queue.qsize());
  }
};

const BoundedWait wait5s{};
const auto nothing = [] {};

TEST(FrameFifoTest, DropModeKeepsTheNewestFrames) {
  Parts<int> p(2);
  auto f = p.fifo();
  EXPECT_FALSE(f.add(1, true, wait5s));
  EXPECT_FALSE(f.add(2, true, wait5s));
  EXPECT_EQ(f.add(3, true, wait5s), 1); // the oldest is handed back
  p.expect_balanced();
  EXPECT_EQ(f.get(wait5s), 2);
  EXPECT_EQ(p.data_queue.qsize(), 1u);
  EXPECT_EQ(f.get(wait5s), 3);
  p.expect_balanced();
}

TEST(FrameFifoTest, BlockingAddWaitsForAGet) {
  Parts<int> p(1);
  auto f = p.fifo();
  f.add(1, false, wait5s);
  auto adder = std::async(std::launch::async, [&] { return f.add(2, false, wait5s); });
  EXPECT_EQ(adder.wait_for(30ms), std::future_status::timeout);
  EXPECT_EQ(f.get(wait5s), 1);
  EXPECT_EQ(adder.get(), std::nullopt);
  EXPECT_EQ(f.get(wait5s), 2);
  p.expect_balanced();
}

TEST(FrameFifoTest, GetWaitsForAFrame) {
  Parts<int> p(2);
  auto f = p.fifo();
  auto getter = std::async(std::launch::async, [&] { return f.get(wait5s); });
  EXPECT_EQ(getter.wait_for(30ms), std::future_status::timeout);
  f.add(9, true, wait5s);
  EXPECT_EQ(getter.get(), 9);
}

TEST(FrameFifoTest, ClearResetsAnIdleStoreOnly) {
  Parts<int> p(3);
  auto f = p.fifo();
  std::deque<int> removed;
  int cleared = 0;
  auto on_cleared = [&] { ++cleared; };
  EXPECT_FALSE(f.clear(removed, on_cleared)); // empty store
  f.add(1, true, wait5s);
  f.add(2, true, wait5s);
  EXPECT_TRUE(f.clear(removed, on_cleared));
  EXPECT_EQ(std::vector<int>(removed.begin(), removed.end()), (std::vector<int>{1, 2}));
  EXPECT_EQ(cleared, 1);
  p.expect_balanced();
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(p.data_queue.full());
    f.add(i, false, wait5s);
  }
  EXPECT_TRUE(p.data_queue.full());
  p.expect_balanced();
}

TEST(FrameFifoTest, ClearGivesUpWhileAnAddOrGetIsUnderWay) {
  Parts<int> p(1);
  auto f = p.fifo();
  std::deque<int> removed;
  f.add(1, false, wait5s);
  // A blocking add waits on the full store, holding the producers' gate.
  auto adder = std::async(std::launch::async, [&] { f.add(2, false, wait5s); });
  while (p.clear_add.value() > 0)
    std::this_thread::yield();
  EXPECT_FALSE(f.clear(removed, nothing));
  EXPECT_EQ(f.get(wait5s), 1);
  adder.get();
  // A get in progress holds the consumers' gate.
  ASSERT_TRUE(p.clear_get.try_acquire());
  EXPECT_FALSE(f.clear(removed, nothing));
  EXPECT_EQ(p.clear_add.value(), 1); // given back
  p.clear_get.release();
  EXPECT_EQ(f.get(wait5s), 2);
  p.expect_balanced();
}

// A get that has taken its frame but not yet freed its place leaves the free
// count at 0 with the store empty; a drop-mode add must not wait on the empty
// store (holding the store's lock), but take the place once it is freed.
TEST(FrameFifoTest, DropModeAddSurvivesAStaleFreeCount) {
  Parts<int> p(1);
  auto f = p.fifo();
  f.add(1, true, wait5s);
  ASSERT_TRUE(p.used_slots.try_acquire()); // get: steps up to taking the frame
  ASSERT_EQ(p.data_queue.try_get(), 1);
  auto adder = std::async(std::launch::async, [&] { return f.add(2, true, wait5s); });
  EXPECT_EQ(adder.wait_for(30ms), std::future_status::timeout);
  p.free_slots.release(); // get: frees its place
  ASSERT_EQ(adder.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(adder.get(), std::nullopt);
  p.expect_balanced();
  EXPECT_EQ(f.get(wait5s), 2);
}

TEST(FrameFifoTest, RecordingCollectsTheFramesAddedAfterArming) {
  Parts<int> p(2);
  auto f = p.fifo();
  f.add(-1, true, wait5s); // before arming: not recorded
  EXPECT_TRUE(f.arm_recording(3, wait5s).empty());
  f.add(-2, false, wait5s); // blocking mode does not feed the recording
  auto waiter = std::async(std::launch::async, [&] { f.await_recording(wait5s, wait5s, nothing); });
  for (int i = 1; i <= 4; ++i)
    f.add(i, true, wait5s);
  ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
  waiter.get();
  std::vector<int> recorded;
  p.rec_queue.visit([&](int v) { recorded.push_back(v); });
  EXPECT_EQ(recorded, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(p.rec_free_slots.value(), 0);
  EXPECT_FALSE(p.rec_mutex.locked());
  // The next arming hands back the previous recording.
  EXPECT_EQ(f.arm_recording(1, wait5s).size(), 3u);
  EXPECT_THROW(f.arm_recording(0, wait5s), tavol::InvalidArgument);
}

// Waiters that give up (Ctrl-C in the bindings) leave nothing held.
TEST(FrameFifoTest, GivingUpUndoesEveryStep) {
  Parts<int> p(1);
  auto f = p.fifo();
  const BoundedWait short_wait{30ms};
  EXPECT_THROW(f.get(short_wait), TimedOut);
  EXPECT_EQ(p.clear_get.value(), 1);
  f.add(1, false, wait5s);
  EXPECT_THROW(f.add(2, false, short_wait), TimedOut);
  EXPECT_EQ(p.clear_add.value(), 1);
  p.expect_balanced();
  // A get whose frame is there but whose store lock is busy gives its ticket back.
  p.queue_mutex.lock();
  EXPECT_THROW(f.get(short_wait), TimedOut);
  p.queue_mutex.unlock();
  p.expect_balanced();
  EXPECT_EQ(f.get(wait5s), 1);
  // A recording that never completes is disarmed and its lock given back.
  f.arm_recording(2, wait5s);
  f.add(5, true, wait5s);
  EXPECT_THROW(f.await_recording(short_wait, wait5s, nothing), TimedOut);
  EXPECT_EQ(p.rec_free_slots.value(), 0);
  EXPECT_FALSE(p.rec_mutex.locked());
  f.add(6, true, wait5s); // not recorded any more
  EXPECT_EQ(p.rec_queue.qsize(), 1u);
}

// Producers in both modes, consumers and a clearer churn together. Every
// frame a blocking producer adds is delivered exactly once or removed by a
// clear; drop-mode frames are delivered at most once; nothing deadlocks.
TEST(FrameFifoTest, ChurnLosesAndDuplicatesNothing) {
  // Each producer adds at least kMinFrames, and goes on until some clears got through.
  constexpr int kMinFrames = 4000, kMaxFrames = 1 << 20, kWantedClears = 5;
  constexpr int kBlocking = 2, kDropping = 2, kConsumers = 3;
  Parts<int> p(4);
  auto f = p.fifo();
  std::vector<std::vector<int>> delivered(kConsumers);
  std::vector<int> removed_all, dropped_all;
  std::atomic<bool> stop_clearing{false};
  std::atomic<int> clears{0};
  std::vector<int> added(kBlocking + kDropping);
  std::atomic<int> failures{0};
  // A wait that times out inside a thread is counted, not left to terminate the run.
  auto guarded = [&](auto body) {
    return [&failures, body] {
      try {
        body();
      } catch (const std::exception &e) {
        ADD_FAILURE() << e.what();
        ++failures;
      }
    };
  };

  std::vector<std::thread> producers, consumers;
  for (int q = 0; q < kBlocking + kDropping; ++q)
    producers.emplace_back(guarded([&, q] {
      std::vector<int> dropped;
      // Clears get through quickly on a quiet machine; the limit is for a loaded one.
      const auto give_up = std::chrono::steady_clock::now() + 60s;
      int i = 0;
      for (; i < kMinFrames || (clears < kWantedClears && i < kMaxFrames &&
                                std::chrono::steady_clock::now() < give_up);
           ++i)
        if (auto d = f.add(q * kMaxFrames + i, q >= kBlocking, wait5s))
          dropped.push_back(*d);
      added[q] = i;
      static std::mutex m;
      std::lock_guard hold(m);
      dropped_all.insert(dropped_all.end(), dropped.begin(), dropped.end());
    }));
  for (int c = 0; c < kConsumers; ++c)
    consumers.emplace_back(guarded([&, c] {
      for (;;) {
        const int v = f.get(wait5s);
        if (v < 0)
          return;
        delivered[c].push_back(v);
        // Consumers waiting in get hold their gate; pausing now and then lets clears through.
        if (v % 64 == 0)
          std::this_thread::sleep_for(200us);
      }
    }));
  std::thread clearer([&] {
    while (!stop_clearing) {
      std::deque<int> removed;
      if (f.clear(removed, nothing)) {
        ++clears;
        removed_all.insert(removed_all.end(), removed.begin(), removed.end());
      }
      std::this_thread::sleep_for(100us);
    }
  });
  for (auto &t : producers)
    t.join();
  stop_clearing = true;
  clearer.join();
  for (int c = 0; c < kConsumers; ++c)
    guarded([&] { f.add(-1, false, wait5s); })();
  for (auto &t : consumers)
    t.join();
  ASSERT_EQ(failures.load(), 0);

  std::multiset<int> out;
  for (const auto &d : delivered) {
    std::vector<int> last(kBlocking + kDropping, -1);
    for (int v : d) {
      EXPECT_GT(v % kMaxFrames, last[v / kMaxFrames]) << "out of order";
      last[v / kMaxFrames] = v % kMaxFrames;
      out.insert(v);
    }
  }
  out.insert(removed_all.begin(), removed_all.end());
  out.insert(dropped_all.begin(), dropped_all.end());
  // Every frame left the store exactly once: delivered, cleared or dropped.
  std::size_t total = 0;
  for (int q = 0; q < kBlocking + kDropping; ++q) {
    total += static_cast<std::size_t>(added[q]);
    for (int i = 0; i < added[q]; ++i)
      ASSERT_EQ(out.count(q * kMaxFrames + i), 1u) << "frame " << i << " of producer " << q;
  }
  EXPECT_EQ(out.size(), total);
  p.expect_balanced();
  EXPECT_EQ(p.data_queue.qsize(), 0u);
  EXPECT_GE(clears.load(), kWantedClears);
}

} // namespace

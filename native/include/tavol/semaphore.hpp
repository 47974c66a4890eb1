// Counting semaphore and lock for threads that share a frame buffer.
//
// Both wait on a condition variable, so every wait can be bounded: the
// *_for/*_until forms let a caller wait in short slices and do other work
// (look at signals, give up) in between. Thread safety: every member may be
// called from any thread at any time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tavol {

class Semaphore {
public:
  // `initial` < 0 is InvalidArgument.
  explicit Semaphore(std::int64_t initial = 1);
  Semaphore(const Semaphore &) = delete;
  Semaphore &operator=(const Semaphore &) = delete;

  // Waits while the count is 0, then decrements it.
  void acquire();
  bool try_acquire();
  // A zero duration reads no clock: the cheap, common case.
  template <class Rep, class Period> bool try_acquire_for(std::chrono::duration<Rep, Period> d) {
    if (d <= d.zero())
      return try_acquire();
    return try_acquire_until(std::chrono::steady_clock::now() + d);
  }
  bool try_acquire_until(std::chrono::steady_clock::time_point deadline);

  // Adds `n` (>= 1, else InvalidArgument) to the count and wakes as many waiters.
  void release(std::int64_t n = 1);

  // The current count, read without waiting: a peek, stale as soon as it returns.
  std::int64_t value() const noexcept { return count_.load(); }
  // Replaces the count (>= 0, else InvalidArgument); waiters that can now proceed are woken.
  void set_value(std::int64_t count);

private:
  // The count lives in an atomic so that uncontended calls take no mutex;
  // mutex_ and available_ serve only threads that have to sleep, and a
  // release looks at waiters_ to know whether anyone needs waking.
  std::atomic<std::int64_t> count_;
  std::atomic<int> waiters_{0};
  std::mutex mutex_;
  std::condition_variable available_;
};

// Non-reentrant lock that any thread may release, not only the one that took
// it: one thread can hand a "done" signal to another by releasing it. Meets
// the Lockable requirements, so it works with std::unique_lock and
// std::condition_variable_any.
class Lock {
public:
  Lock() = default;
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;

  void lock();
  bool try_lock();
  template <class Rep, class Period> bool try_lock_for(std::chrono::duration<Rep, Period> d) {
    if (d <= d.zero())
      return try_lock();
    return try_lock_until(std::chrono::steady_clock::now() + d);
  }
  bool try_lock_until(std::chrono::steady_clock::time_point deadline);
  // Releasing a lock that is not held is an Error ("release unlocked lock").
  void unlock();
  bool locked() const noexcept { return locked_.load(); }

private:
  // As in Semaphore: the state is atomic, the mutex only for sleepers.
  std::atomic<bool> locked_{false};
  std::atomic<int> waiters_{0};
  std::mutex mutex_;
  std::condition_variable released_;
};

} // namespace tavol

#include "tavol/semaphore.hpp"

#include "tavol/errors.hpp"

// Lost wake-ups are ruled out by sequentially consistent order: a sleeper
// registers in waiters_ (under the mutex) before its last look at the state,
// and a waker changes the state before it looks at waiters_; so either the
// sleeper sees the change, or the waker sees the sleeper and, taking the mutex,
// notifies it no earlier than its wait began.

namespace tavol {

Semaphore::Semaphore(std::int64_t initial) : count_(initial) {
  if (initial < 0)
    throw InvalidArgument("semaphore initial value must be >= 0");
}

bool Semaphore::try_acquire() {
  std::int64_t c = count_.load();
  while (c > 0)
    if (count_.compare_exchange_weak(c, c - 1))
      return true;
  return false;
}

void Semaphore::acquire() {
  if (try_acquire())
    return;
  std::unique_lock hold(mutex_);
  ++waiters_;
  available_.wait(hold, [this] { return try_acquire(); });
  --waiters_;
}

bool Semaphore::try_acquire_until(std::chrono::steady_clock::time_point deadline) {
  if (try_acquire())
    return true;
  std::unique_lock hold(mutex_);
  ++waiters_;
  const bool acquired = available_.wait_until(hold, deadline, [this] { return try_acquire(); });
  --waiters_;
  return acquired;
}

void Semaphore::release(std::int64_t n) {
  if (n < 1)
    throw InvalidArgument("n must be one or more");
  count_.fetch_add(n);
  if (waiters_.load() == 0)
    return;
  { std::lock_guard hold(mutex_); }
  if (n == 1)
    available_.notify_one();
  else
    available_.notify_all();
}

void Semaphore::set_value(std::int64_t count) {
  if (count < 0)
    throw InvalidArgument("semaphore value must be >= 0");
  count_.store(count);
  if (count == 0 || waiters_.load() == 0)
    return;
  { std::lock_guard hold(mutex_); }
  available_.notify_all();
}

bool Lock::try_lock() {
  bool expected = false;
  return locked_.compare_exchange_strong(expected, true);
}

void Lock::lock() {
  if (try_lock())
    return;
  std::unique_lock hold(mutex_);
  ++waiters_;
  released_.wait(hold, [this] { return try_lock(); });
  --waiters_;
}

bool Lock::try_lock_until(std::chrono::steady_clock::time_point deadline) {
  if (try_lock())
    return true;
  std::unique_lock hold(mutex_);
  ++waiters_;
  const bool acquired = released_.wait_until(hold, deadline, [this] { return try_lock(); });
  --waiters_;
  return acquired;
}

void Lock::unlock() {
  if (!locked_.exchange(false))
    throw Error("release unlocked lock");
  if (waiters_.load() == 0)
    return;
  { std::lock_guard hold(mutex_); }
  released_.notify_one();
}

} // namespace tavol

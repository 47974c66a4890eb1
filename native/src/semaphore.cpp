#include "tavol/semaphore.hpp"

#include "tavol/errors.hpp"

namespace tavol {

Semaphore::Semaphore(std::int64_t initial) : count_(initial) {
  if (initial < 0)
    throw InvalidArgument("semaphore initial value must be >= 0");
}

void Semaphore::acquire() {
  std::unique_lock hold(mutex_);
  available_.wait(hold, [this] { return count_.load(std::memory_order_relaxed) > 0; });
  count_.fetch_sub(1, std::memory_order_release);
}

bool Semaphore::try_acquire() {
  std::lock_guard hold(mutex_);
  if (count_.load(std::memory_order_relaxed) <= 0)
    return false;
  count_.fetch_sub(1, std::memory_order_release);
  return true;
}

bool Semaphore::try_acquire_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock hold(mutex_);
  if (!available_.wait_until(hold, deadline,
                             [this] { return count_.load(std::memory_order_relaxed) > 0; }))
    return false;
  count_.fetch_sub(1, std::memory_order_release);
  return true;
}

void Semaphore::release(std::int64_t n) {
  if (n < 1)
    throw InvalidArgument("n must be one or more");
  {
    std::lock_guard hold(mutex_);
    count_.fetch_add(n, std::memory_order_release);
  }
  if (n == 1)
    available_.notify_one();
  else
    available_.notify_all();
}

void Semaphore::set_value(std::int64_t count) {
  if (count < 0)
    throw InvalidArgument("semaphore value must be >= 0");
  {
    std::lock_guard hold(mutex_);
    count_.store(count, std::memory_order_release);
  }
  if (count > 0)
    available_.notify_all();
}

void Lock::lock() {
  std::unique_lock hold(mutex_);
  released_.wait(hold, [this] { return !locked_.load(std::memory_order_relaxed); });
  locked_.store(true, std::memory_order_release);
}

bool Lock::try_lock() {
  std::lock_guard hold(mutex_);
  if (locked_.load(std::memory_order_relaxed))
    return false;
  locked_.store(true, std::memory_order_release);
  return true;
}

bool Lock::try_lock_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock hold(mutex_);
  if (!released_.wait_until(hold, deadline,
                            [this] { return !locked_.load(std::memory_order_relaxed); }))
    return false;
  locked_.store(true, std::memory_order_release);
  return true;
}

void Lock::unlock() {
  {
    std::lock_guard hold(mutex_);
    if (!locked_.load(std::memory_order_relaxed))
      throw Error("release unlocked lock");
    locked_.store(false, std::memory_order_release);
  }
  released_.notify_one();
}

} // namespace tavol

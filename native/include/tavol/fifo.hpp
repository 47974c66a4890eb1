// Bounded first-in-first-out queue of items of any movable type.
//
// Mirrors a blocking queue with an exposed internal lock: every put and get
// holds mutex() while it inspects and changes the queue, so a caller that
// holds mutex() itself sees the queue stand still. The stored sequence can
// also be emptied or read directly (take_all, visit), bypassing mutex(), as a
// caller that already holds it needs.
//
// Ownership: items are moved in and out; the queue never copies them. Items
// leave only through get, take_all or the destructor, so a caller whose items
// need special care when destroyed (references owned by an interpreter) keeps
// control of where that happens. Thread safety: every member may be called
// from any thread at any time.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "tavol/semaphore.hpp"

namespace tavol {

template <typename T> class Fifo {
public:
  using clock = std::chrono::steady_clock;

  // maxsize 0 means unbounded.
  explicit Fifo(std::size_t maxsize = 0) : maxsize_(maxsize) {}
  Fifo(const Fifo &) = delete;
  Fifo &operator=(const Fifo &) = delete;

  // The lock every put and get holds while it works on the queue.
  Lock &mutex() noexcept { return mutex_; }

  std::size_t maxsize() const noexcept { return maxsize_.load(std::memory_order_acquire); }
  // Takes effect for the next put; waiting putters look again.
  void set_maxsize(std::size_t maxsize) {
    maxsize_.store(maxsize, std::memory_order_release);
    not_full_.notify_all();
  }

  // Waits until `deadline` for mutex() and for room, then moves `item` in and
  // returns true; on timeout returns false and leaves `item` untouched.
  bool put_until(T &item, clock::time_point deadline) {
    if (!mutex_.try_lock_until(deadline))
      return false;
    std::unique_lock<Lock> hold(mutex_, std::adopt_lock);
    ++put_waiters_;
    const bool room = not_full_.wait_until(hold, deadline, [this] { return !full(); });
    --put_waiters_;
    if (!room)
      return false;
    push(item);
    return true;
  }
  // A zero duration reads no clock and does not wait.
  template <class Rep, class Period> bool put_for(T &item, std::chrono::duration<Rep, Period> d) {
    if (d <= d.zero())
      return try_put(item);
    return put_until(item, clock::now() + d);
  }
  bool try_put(T &item) {
    if (!mutex_.try_lock())
      return false;
    std::unique_lock<Lock> hold(mutex_, std::adopt_lock);
    if (full())
      return false;
    push(item);
    return true;
  }

  // Waits until `deadline` for mutex() and for an item, then removes and
  // returns the oldest; nullopt on timeout.
  std::optional<T> get_until(clock::time_point deadline) {
    if (!mutex_.try_lock_until(deadline))
      return std::nullopt;
    std::unique_lock<Lock> hold(mutex_, std::adopt_lock);
    ++get_waiters_;
    const bool any = not_empty_.wait_until(hold, deadline, [this] { return qsize() > 0; });
    --get_waiters_;
    if (!any)
      return std::nullopt;
    return pop();
  }
  template <class Rep, class Period>
  std::optional<T> get_for(std::chrono::duration<Rep, Period> d) {
    if (d <= d.zero())
      return try_get();
    return get_until(clock::now() + d);
  }
  std::optional<T> try_get() {
    if (!mutex_.try_lock())
      return std::nullopt;
    std::unique_lock<Lock> hold(mutex_, std::adopt_lock);
    if (qsize() == 0)
      return std::nullopt;
    return pop();
  }

  std::size_t qsize() const {
    std::lock_guard store(items_mutex_);
    return items_.size();
  }
  bool empty() const { return qsize() == 0; }
  // Never true for an unbounded queue.
  bool full() const {
    const std::size_t cap = maxsize();
    return cap > 0 && qsize() >= cap;
  }

  // Empties the stored sequence without taking mutex(); the items are handed
  // to the caller, which decides where they are destroyed.
  std::deque<T> take_all() {
    std::deque<T> out;
    {
      std::lock_guard store(items_mutex_);
      out.swap(items_);
    }
    not_full_.notify_all();
    return out;
  }

  // Calls fn(const T&) on every stored item, oldest first, without taking
  // mutex(). fn must not call back into this queue.
  template <class F> void visit(F &&fn) const {
    std::lock_guard store(items_mutex_);
    for (const T &item : items_)
      fn(item);
  }

private:
  // Both with mutex_ held.
  void push(T &item) {
    {
      std::lock_guard store(items_mutex_);
      items_.push_back(std::move(item));
    }
    if (get_waiters_ > 0)
      not_empty_.notify_one();
  }
  std::optional<T> pop() {
    std::optional<T> item;
    {
      std::lock_guard store(items_mutex_);
      item.emplace(std::move(items_.front()));
      items_.pop_front();
    }
    if (put_waiters_ > 0)
      not_full_.notify_one();
    return item;
  }

  Lock mutex_;
  std::condition_variable_any not_empty_;
  std::condition_variable_any not_full_;
  // Threads sleeping in get and put; read and written with mutex_ held, so
  // a notification is sent only when someone can receive it.
  int get_waiters_ = 0;
  int put_waiters_ = 0;
  std::atomic<std::size_t> maxsize_;
  // Guards items_ itself; held only for the few instructions that touch it,
  // never while waiting, so take_all and visit are safe with or without mutex_.
  mutable std::mutex items_mutex_;
  std::deque<T> items_;
};

} // namespace tavol

// The frame buffer's protocol: a bounded store of the most recent frames,
// shared by producers and consumers, plus a side recording that a consumer
// arms for N frames and waits on.
//
// FrameFifo does not own its parts: each semaphore, lock and queue is owned
// elsewhere (by objects an interpreter exposes one by one) and FrameFifo runs
// the protocol over references to them.
//
// Waiting: every operation that may block takes a `wait` callable. wait(f)
// must call f(std::chrono::milliseconds slice) until it returns true; f
// waits at most `slice` itself. Between calls the waiter may do anything
// (release an interpreter lock, look at signals) and may give up by throwing:
// the operation then undoes what it did and rethrows.
//
// Frames: T is copied only into the recording; frames that leave the store
// (dropped, cleared, or replaced in the recording) are handed back to the
// caller, which decides where they are destroyed. Apart from that, T is only
// moved, and only outside the waiter's slices is it copied or destroyed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

#include "tavol/errors.hpp"
#include "tavol/fifo.hpp"
#include "tavol/semaphore.hpp"

namespace tavol {

template <typename T> struct FrameFifo {
  std::size_t buffer_size;
  Semaphore &free_slots;     // empty places in the store
  Semaphore &used_slots;     // frames available to get
  Semaphore &clear_add;      // held by add for its whole call; clear takes it to shut producers out
  Semaphore &clear_get;      // held by get for its whole call; clear takes it to shut consumers out
  Lock &queue_mutex;         // around the store's put/get and the recording's feed
  Fifo<T> &data_queue;       // the store, capacity buffer_size
  Lock &rec_mutex;           // taken by the recording's consumer, released by the producer
  Semaphore &rec_free_slots; // frames the recording still accepts
  Fifo<T> &rec_queue;        // the recording

  // Adds a frame. With drop_full, never waits for consumers: a full store
  // drops its oldest frame (returned), and an armed recording gets a copy of
  // the frame. Otherwise waits for a free place; the recording is not fed.
  template <class Wait> std::optional<T> add(T frame, bool drop_full, Wait &&wait) {
    acquire(clear_add, wait);
    Release add_gate{&clear_add};
    std::optional<T> dropped;
    if (drop_full) {
      lock(queue_mutex, wait);
      Unlock store_lock{&queue_mutex};
      if (rec_free_slots.value() > 0)
        feed_recording(frame, wait);
      // Decided from the store itself, not from the free count: that count
      // is 0 with the store one short of full while a get has taken its frame
      // but not yet freed its place, and a drop would then take from a store
      // that may be empty. In that case the place is freed at once (get holds
      // none of our locks for it) and the frame simply takes it.
      bool took_slot = false;
      if (data_queue.full()) {
        dropped = data_queue.try_get();
      } else {
        acquire(free_slots, wait);
        took_slot = true;
      }
      Release slot{took_slot ? &free_slots : nullptr};
      put(data_queue, frame, wait);
      slot.dismiss();
      if (took_slot)
        used_slots.release();
    } else {
      acquire(free_slots, wait);
      Release slot{&free_slots};
      {
        lock(queue_mutex, wait);
        Unlock store_lock{&queue_mutex};
        put(data_queue, frame, wait);
      }
      slot.dismiss();
      used_slots.release();
    }
    return dropped;
  }

  // Waits for a frame and returns the oldest.
  template <class Wait> T get(Wait &&wait) {
    acquire(clear_get, wait);
    Release get_gate{&clear_get};
    acquire(used_slots, wait);
    Release ticket{&used_slots};
    std::optional<T> frame;
    {
      lock(queue_mutex, wait);
      Unlock store_lock{&queue_mutex};
      wait([&](std::chrono::milliseconds slice) {
        frame = data_queue.get_for(slice);
        return frame.has_value();
      });
    }
    ticket.dismiss();
    free_slots.release();
    return std::move(*frame);
  }

  // Empties the store when it holds frames and no add or get is under way;
  // never waits for a busy producer or consumer. The frames go to `removed`.
  // on_cleared() runs once consumers are let in again, before producers are.
  //
  // The gates are taken with a single try each, not peeked at and then
  // waited for: a get that slipped in between would wait on an empty store
  // for a producer that the held producer gate keeps out, for ever.
  template <class OnCleared> bool clear(std::deque<T> &removed, OnCleared &&on_cleared) {
    if (data_queue.qsize() == 0 || !clear_add.try_acquire())
      return false;
    Release add_gate{&clear_add};
    if (!clear_get.try_acquire())
      return false;
    {
      Release get_gate{&clear_get};
      // Consumers are shut out, so these never wait.
      while (used_slots.try_acquire()) {
      }
      removed = data_queue.take_all();
      free_slots.set_value(static_cast<std::int64_t>(buffer_size));
    }
    on_cleared();
    return true;
  }

  // First half of a recording: takes rec_mutex (waiting for a previous
  // recording to be collected), then, holding rec_queue's lock, sizes the
  // recording for n frames and empties it. Returns the previous recording's
  // frames. rec_mutex stays held until the add that completes the recording.
  template <class Wait> std::deque<T> arm_recording(std::size_t n, Wait &&wait) {
    if (n < 1)
      throw InvalidArgument("queue_size must be at least 1");
    lock(rec_mutex, wait);
    try {
      lock(rec_queue.mutex(), wait);
      Unlock rec_lock{&rec_queue.mutex()};
      rec_queue.set_maxsize(n);
      std::deque<T> previous = rec_queue.take_all();
      rec_free_slots.set_value(static_cast<std::int64_t>(n));
      return previous;
    } catch (...) {
      rec_mutex.unlock();
      throw;
    }
  }

  // Second half: waits until the recording is complete, then calls
  // on_complete() while still holding rec_mutex, so that no new recording can
  // empty rec_queue before the caller has read it; the frames stay there,
  // oldest first. A waiter that gives up disarms the recording.
  template <class Wait, class QuietWait, class OnComplete>
  void await_recording(Wait &&wait, QuietWait &&quiet, OnComplete &&on_complete) {
    try {
      lock(rec_mutex, wait);
    } catch (...) {
      abandon_recording(quiet);
      throw;
    }
    Unlock done{&rec_mutex};
    on_complete();
  }

  // Disarms an armed recording and gives back rec_mutex, unless the producer
  // completed it meanwhile (then rec_mutex was given back already). The feed
  // and the completion happen under queue_mutex, so under it the count tells
  // which case holds. `wait` must not throw.
  template <class Wait> void abandon_recording(Wait &&wait) {
    lock(queue_mutex, wait);
    Unlock store_lock{&queue_mutex};
    if (rec_free_slots.value() > 0) {
      rec_free_slots.set_value(0);
      rec_mutex.unlock();
    }
  }

private:
  // Gives a semaphore count back when a step fails after taking it.
  struct Release {
    Semaphore *held;
    ~Release() {
      if (held)
        held->release();
    }
    void dismiss() { held = nullptr; }
  };
  struct Unlock {
    Lock *held;
    ~Unlock() {
      if (held)
        held->unlock();
    }
  };

  template <class Wait> static void acquire(Semaphore &s, Wait &wait) {
    wait([&](std::chrono::milliseconds slice) { return s.try_acquire_for(slice); });
  }
  template <class Wait> static void lock(Lock &l, Wait &wait) {
    wait([&](std::chrono::milliseconds slice) { return l.try_lock_for(slice); });
  }
  template <class Wait> static void put(Fifo<T> &q, T &item, Wait &wait) {
    wait([&](std::chrono::milliseconds slice) { return q.put_for(item, slice); });
  }

  // Producers are serialised and only they decrement rec_free_slots, so
  // after a positive peek neither step waits.
  template <class Wait> void feed_recording(const T &frame, Wait &wait) {
    acquire(rec_free_slots, wait);
    Release slot{&rec_free_slots};
    T copy = frame;
    put(rec_queue, copy, wait);
    slot.dismiss();
    if (rec_queue.full())
      rec_mutex.unlock();
  }
};

} // namespace tavol

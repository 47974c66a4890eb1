// Waits that Python can see: the GIL is released in short slices, Ctrl-C is
// answered between them, and a thread of an interpreter that is shutting down
// is parked instead of unwound. Also the wait on a pool of the core's workers,
// with or without a tqdm bar.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "tavol/constants.hpp"
#include "tavol/worker_pool.hpp"

namespace tavol::bind {

namespace py = pybind11;

// Waits for `pool` through wait_in_slices. Between slices, with the GIL,
// calls on_progress(finished tasks) and checks for signals: on Ctrl-C (or an
// error from on_progress) it cancels the pool, waits for the running tasks
// and raises. Afterwards rethrows the first task failure, if any.
void wait_interruptibly(WorkerPool &pool, const std::function<void(std::size_t)> &on_progress);

// wait_interruptibly with the module's tqdm bar (`tqdm(total=total,
// desc=desc)`) advanced as tasks finish, and closed however the wait ends.
void wait_with_bar(py::handle module, WorkerPool &pool, std::size_t total, const std::string &desc);

// True once the interpreter has begun shutting down.
bool interpreter_finalizing();
// Never returns: for a daemon thread that must not touch the interpreter again.
[[noreturn]] void park_forever();

// Calls try_for with a zero slice until it succeeds or `time` has passed.
template <class TryFor> bool spin_wait(TryFor &try_for, std::chrono::microseconds time) {
  const auto end = std::chrono::steady_clock::now() + time;
  do {
    if (try_for(std::chrono::milliseconds(0)))
      return true;
    std::this_thread::yield();
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

// Set when a waiter below has just given up the GIL, cleared when a waiter
// takes it back: a hint, for the next waiter whose wait is over, that the GIL
// is about to be free (see wait_in_slices).
inline std::atomic<bool> gil_left_by_waiter{false};

// After a successful wait, before asking for the GIL: if a waiter took the GIL
// back since the last one gave it up, that thread is now running Python and
// will usually give the GIL up again within microseconds, in its own next
// wait. Polling for that (up to kWaitSpinUs, yielding the CPU) lets this
// thread take the GIL the moment it is free, instead of falling asleep on the
// GIL and paying a wake-up for every hand-over.
inline void await_gil_hand_over() {
  const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(kWaitSpinUs);
  while (!gil_left_by_waiter.load(std::memory_order_acquire) &&
         std::chrono::steady_clock::now() < end)
    std::this_thread::yield();
}

// Waits for a native primitive: calls try_for(slice) until it returns true.
// The first call runs with the GIL held and a zero slice (the uncontended
// case costs no thread switch); later calls wait up to kWaitSliceMs each with
// the GIL released, and between them, if `interruptible`, signals are checked
// so Ctrl-C raises KeyboardInterrupt. With a deadline, returns false once it
// has passed. try_for must not touch Python objects.
//
// `between`, when given, runs with the GIL after every slice (progress bars).
//
// Before its first sleep the waiter polls for kWaitSpinUs, GIL released and
// yielding the CPU: when two Python threads hand frames to each other, the
// other side usually answers within microseconds, and a sleep and wake-up
// per hand-over would cost more than the work itself.
//
// The GIL is given up and taken back by hand, not by gil_scoped_release:
// while the interpreter shuts down, a daemon thread that asks for the GIL is
// ended from inside PyEval_RestoreThread by unwinding its stack, which would
// terminate the process from a noexcept destructor, or drop references
// without the GIL on the way up. Such a thread is parked instead, touching
// nothing, until the process exits.
template <class TryFor>
bool wait_in_slices(TryFor &&try_for,
                    std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt,
                    bool interruptible = true, const std::function<void()> &between = {}) {
  using std::chrono::milliseconds;
  if (try_for(milliseconds(0)))
    return true;
  bool first = true;
  for (;;) {
    milliseconds slice(kWaitSliceMs);
    if (deadline) {
      const auto left = *deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero())
        return false;
      slice = std::min(slice, std::chrono::ceil<milliseconds>(left));
    }
    bool done;
    PyThreadState *state = PyEval_SaveThread();
    gil_left_by_waiter.store(true, std::memory_order_release);
    try {
      done = first && spin_wait(try_for, std::chrono::microseconds(kWaitSpinUs));
      first = false;
      if (!done)
        done = try_for(slice);
    } catch (...) {
      PyEval_RestoreThread(state);
      gil_left_by_waiter.store(false, std::memory_order_release);
      throw;
    }
    if (done)
      await_gil_hand_over();
    if (interpreter_finalizing())
      park_forever();
    try {
      PyEval_RestoreThread(state);
    } catch (...) { // the unwinding that ends the thread: never let it run
      park_forever();
    }
    gil_left_by_waiter.store(false, std::memory_order_release);
    if (between)
      between();
    if (done)
      return true;
    if (interruptible && PyErr_CheckSignals() != 0)
      throw py::error_already_set();
  }
}

// A waiter for the core's blocking protocols (see tavol/frame_fifo.hpp):
// waits without limit through wait_in_slices.
struct SliceWait {
  bool interruptible = true;
  template <class TryFor> void operator()(TryFor &&try_for) const {
    wait_in_slices(std::forward<TryFor>(try_for), std::nullopt, interruptible);
  }
};

} // namespace tavol::bind

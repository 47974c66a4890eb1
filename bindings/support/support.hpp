// Glue shared by every extension module: exception translation, exact-type
// checks, assertions that honour `python -O`, printing and progress bars
// through the module's own bound names, numpy arrays over core buffers, and
// interruptible waits on the core's workers. Functions and classes: functions.hpp.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/functions.hpp"
#include "tavol/constants.hpp"
#include "tavol/worker_pool.hpp"

// A module whose init fails on an import (a missing package, see import_extra)
// lets that ImportError through as it is, so that `import` shows what to
// install; pybind11 would bury it under "ImportError: initialization failed".
#undef PYBIND11_CATCH_INIT_EXCEPTIONS
#define PYBIND11_CATCH_INIT_EXCEPTIONS                                                             \
  catch (pybind11::error_already_set & e) {                                                        \
    if (e.matches(PyExc_ImportError))                                                              \
      e.restore();                                                                                 \
    else                                                                                           \
      pybind11::raise_from(e, PyExc_ImportError, "initialization failed");                         \
  }                                                                                                \
  catch (const std::exception &e) {                                                                \
    ::pybind11::set_error(PyExc_ImportError, e.what());                                            \
  }

namespace tavol::bind {

namespace py = pybind11;

// Turns the core's exceptions into the Python types callers expect
// (InvalidArgument -> ValueError, IoError -> OSError with errno and file name,
// AudioError -> RuntimeError, or FileNotFoundError for a missing file).
// Call once from every module's init.
void register_translators();

// Raises TypeError "Argument 'name' has incorrect type (expected int, got bool)"
// unless type(value) is exactly `expected` (or value is None and none_ok).
void check_exact_type(py::handle value, const char *name, py::handle expected,
                      bool none_ok = false);

// `assert cond, message`: AssertionError(message) unless the interpreter runs with -O.
void py_assert(bool cond, py::handle message);

// False under `python -O`, where assert statements (their conditions included) are skipped.
bool assertions_enabled();

// Calls builtins.print, looked up at call time, so redirect_stdout and capsys see it.
template <typename... Args> void print(Args &&...args) { py::print(std::forward<Args>(args)...); }

// `tqdm(iterable, desc=desc)` through the module's bound `tqdm`, looked up at call time.
py::object progress(py::handle module, py::handle iterable, const std::string &desc);
// `tqdm(total=total, desc=desc)` for bars advanced by hand with update().
py::object progress_total(py::handle module, std::size_t total, const std::string &desc);

// `Path(value)` through the module's bound `Path`. Raises ValueError
// "embedded null byte", as open() does, for a path holding a NUL byte: every
// binding that takes a path converts it here, and a C call given such a path
// would stop at the NUL and use another file.
py::object to_path(py::handle module, py::handle value);

// The bytes the operating system is given for `path` (str, bytes or
// os.PathLike), as os.fsencode(os.fspath(path)) makes them: a name that is not
// valid UTF-8 keeps its bytes. ValueError "embedded null byte" for a NUL byte,
// TypeError for an object that is not a path. For paths handed to the core.
std::string fs_path(py::handle path);

// Py_EnterRecursiveCall around C++ code that recurses over Python input
// (nested lists, list files naming list files): past the interpreter's
// recursion limit it raises RecursionError("maximum recursion depth exceeded"
// + where), as the same code written in Python would, instead of overflowing
// the C stack.
class RecursionGuard {
public:
  explicit RecursionGuard(const char *where);
  ~RecursionGuard();
  RecursionGuard(const RecursionGuard &) = delete;
  RecursionGuard &operator=(const RecursionGuard &) = delete;
};

// Hands a core buffer to numpy without copying; the capsule owns the vector.
py::array_t<float> to_numpy(std::vector<float> &&data, std::vector<py::ssize_t> shape);
// The same for memory kept alive by a shared owner (an arena block).
py::array_t<float> to_numpy(float *data, std::vector<py::ssize_t> shape,
                            std::shared_ptr<void> owner);

// Waits for `pool` through wait_in_slices. Between slices, with the GIL,
// calls on_progress(finished tasks) and checks for signals: on Ctrl-C (or an
// error from on_progress) it cancels the pool, waits for the running tasks
// and raises. Afterwards rethrows the first task failure, if any.
void wait_interruptibly(WorkerPool &pool, const std::function<void(std::size_t)> &on_progress);

// `with manager as entered: body(entered)`: __exit__ gets the exception, if
// any, and may suppress it, as in the Python statement.
void with_context(const py::object &manager, const std::function<void(py::object)> &body);

// `a, b, ... = value` with exactly `n` targets, raising the interpreter's own
// TypeError / ValueError messages (None gives "cannot unpack non-iterable NoneType object").
py::tuple unpack(const py::handle &value, std::size_t n);

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

// tavol.core.buffer: a bounded frame buffer between a producer thread and
// consumer threads, and a thread that fetches the next N frames with a time limit.
//
// The semaphores, locks and queues are the native core's, exposed one by one
// as small Python types; AudioBuffer keeps them as instance attributes and runs
// the core's protocol over them. Frames stay Python references throughout;
// only the recording's result is a new array. Every wait releases the GIL and
// answers Ctrl-C.
#include <pybind11/pybind11.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/imports.hpp"
#include "support/support.hpp"
#include "tavol/constants.hpp"
#include "tavol/fifo.hpp"
#include "tavol/frame_fifo.hpp"
#include "tavol/semaphore.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using namespace tavol::bind;

namespace {

constexpr const char *kMsgRecording = "[tl.] Buffer: ";
constexpr const char *kMsgFrames = " frames";
constexpr const char *kMsgClear = "[tl.] Buffer: Clear";
constexpr const char *kMsgBufferError = "Buffer error";
constexpr const char *kMsgSize = "buffer size must be at least 1";
constexpr const char *kMsgQueueSize = "queue_size must be at least 1";
constexpr const char *kMsgTimeout = "'timeout' must be a non-negative number";
constexpr const char *kMsgLockTimeout = "timeout value must be a non-negative number";
constexpr const char *kMsgNonBlocking = "can't specify timeout for non-blocking acquire";
constexpr const char *kMsgLockNonBlocking = "can't specify a timeout for a non-blocking call";

using Frame = py::object;
using FrameQueue = tavol::Fifo<Frame>;
using Clock = std::chrono::steady_clock;

// `timeout` seconds from now; nullopt for None. Negative values are refused.
std::optional<Clock::time_point> deadline_after(py::handle timeout, const char *negative_msg) {
  if (timeout.is_none())
    return std::nullopt;
  const double seconds = py::float_(py::reinterpret_borrow<py::object>(timeout)).cast<double>();
  if (seconds < 0)
    throw py::value_error(negative_msg);
  // Capped near 30 years, where a steady-clock time point is still far from overflow.
  const double capped = std::min(seconds, 1e9);
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(capped));
}

// Waits through wait_in_slices as the host's blocking calls do: forever,
// until a deadline, or (not blocking) only the first, immediate try.
template <class TryFor>
bool host_wait(TryFor &&try_for, bool blocking, std::optional<Clock::time_point> deadline) {
  if (!blocking)
    return try_for(std::chrono::milliseconds(0));
  return wait_in_slices(std::forward<TryFor>(try_for), deadline);
}

// ---------------------------------------------------------------- primitives

bool semaphore_acquire(tavol::Semaphore &s, bool blocking, py::object timeout) {
  if (!blocking && !timeout.is_none())
    throw py::value_error(kMsgNonBlocking);
  const auto deadline = deadline_after(timeout, kMsgTimeout);
  return host_wait([&](std::chrono::milliseconds t) { return s.try_acquire_for(t); }, blocking,
                   deadline);
}

bool lock_acquire(tavol::Lock &l, bool blocking, double timeout) {
  if (!blocking && timeout != -1)
    throw py::value_error(kMsgLockNonBlocking);
  if (timeout < 0 && timeout != -1)
    throw py::value_error(kMsgLockTimeout);
  std::optional<Clock::time_point> deadline;
  if (timeout >= 0)
    deadline = deadline_after(py::float_(timeout), kMsgLockTimeout);
  return host_wait([&](std::chrono::milliseconds t) { return l.try_lock_for(t); }, blocking,
                   deadline);
}

[[noreturn]] void raise_queue(const char *name) {
  PyErr_SetNone(self().attr("queue").attr(name).ptr());
  throw py::error_already_set();
}

void queue_put(FrameQueue &q, py::object item, bool block, py::object timeout) {
  const auto deadline = deadline_after(timeout, kMsgTimeout);
  if (!host_wait([&](std::chrono::milliseconds t) { return q.put_for(item, t); }, block, deadline))
    raise_queue("Full");
}

py::object queue_get(FrameQueue &q, bool block, py::object timeout) {
  const auto deadline = deadline_after(timeout, kMsgTimeout);
  std::optional<Frame> item;
  if (!host_wait(
          [&](std::chrono::milliseconds t) {
            item = q.get_for(t);
            return item.has_value();
          },
          block, deadline))
    raise_queue("Empty");
  return std::move(*item);
}

// New references to the stored items, oldest first. Only increments happen
// under the queue's storage lock; the list is built after it is let go.
std::vector<py::object> queue_items(const FrameQueue &q) {
  std::vector<py::object> items;
  q.visit([&](const Frame &f) { items.push_back(f); });
  return items;
}

// The live sequence behind Queue.queue: read it in order, or empty it.
struct QueueView {
  std::shared_ptr<FrameQueue> q;
};

void bind_primitives(py::module_ &m) {
  py::class_<tavol::Semaphore, std::shared_ptr<tavol::Semaphore>>(
      m, "Semaphore",
      "Counting semaphore: acquire waits while the count is 0, release adds one. `_value` reads "
      "or replaces the count directly.")
      .def(py::init<std::int64_t>(), "value"_a = 1)
      .def("acquire", &semaphore_acquire, "blocking"_a = true, "timeout"_a = py::none(),
           "Waits (at most `timeout` seconds) for a positive count and decrements it; True when "
           "acquired.")
      .def("release", &tavol::Semaphore::release, "n"_a = 1)
      .def_property("_value", &tavol::Semaphore::value, &tavol::Semaphore::set_value)
      .def("__enter__", [](tavol::Semaphore &s) { return semaphore_acquire(s, true, py::none()); })
      .def("__exit__", [](tavol::Semaphore &s, const py::args &) { s.release(); })
      .def("__repr__", [](const tavol::Semaphore &s) {
        return "<" + std::string(kModule) + ".Semaphore value=" + std::to_string(s.value()) + ">";
      });

  py::class_<tavol::Lock, std::shared_ptr<tavol::Lock>>(
      m, "Lock",
      "Non-reentrant lock; any thread may release it, not only the one that acquired it.")
      .def(py::init<>())
      .def("acquire", &lock_acquire, "blocking"_a = true, "timeout"_a = -1.0,
           "Waits (at most `timeout` seconds; -1: no limit) for the lock; True when acquired.")
      .def("release", &tavol::Lock::unlock)
      .def("locked", &tavol::Lock::locked)
      .def("__enter__", [](tavol::Lock &l) { return lock_acquire(l, true, -1.0); })
      .def("__exit__", [](tavol::Lock &l, const py::args &) { l.unlock(); })
      .def("__repr__", [](const tavol::Lock &l) {
        return "<" + std::string(kModule) + ".Lock " + (l.locked() ? "locked" : "unlocked") + ">";
      });

  py::class_<QueueView>(m, "QueueView", "The items of a Queue, oldest first.")
      .def("__len__", [](const QueueView &v) { return v.q->qsize(); })
      .def("__iter__",
           [](const QueueView &v) {
             py::list items;
             for (auto &item : queue_items(*v.q))
               items.append(std::move(item));
             return py::iter(items);
           })
      .def(
          "__getitem__",
          [](const QueueView &v, py::ssize_t i) {
            std::vector<py::object> items = queue_items(*v.q);
            const auto n = static_cast<py::ssize_t>(items.size());
            if (i < 0)
              i += n;
            if (i < 0 || i >= n)
              throw py::index_error("deque index out of range");
            return items[static_cast<std::size_t>(i)];
          },
          "i"_a)
      .def(
          "clear",
          [](QueueView &v) {
            std::deque<Frame> removed = v.q->take_all();
            // `removed` is released here, with the GIL held.
          },
          "Removes every item without taking the queue's mutex.");

  py::class_<FrameQueue, std::shared_ptr<FrameQueue>>(
      m, "Queue", "First-in-first-out queue of Python objects; maxsize 0 means unbounded.")
      .def(py::init([](py::ssize_t maxsize) {
             return std::make_shared<FrameQueue>(
                 static_cast<std::size_t>(std::max<py::ssize_t>(maxsize, 0)));
           }),
           "maxsize"_a = 0)
      .def("put", &queue_put, "item"_a, "block"_a = true, "timeout"_a = py::none(),
           "Appends `item`, waiting (at most `timeout` seconds) while the queue is full; "
           "queue.Full when it stays full.")
      .def("get", &queue_get, "block"_a = true, "timeout"_a = py::none(),
           "Removes and returns the oldest item, waiting (at most `timeout` seconds) while the "
           "queue is empty; queue.Empty when it stays empty.")
      .def(
          "put_nowait",
          [](FrameQueue &q, py::object item) { queue_put(q, item, false, py::none()); }, "item"_a)
      .def("get_nowait", [](FrameQueue &q) { return queue_get(q, false, py::none()); })
      .def("qsize", &FrameQueue::qsize)
      .def("empty", &FrameQueue::empty)
      .def("full", &FrameQueue::full)
      .def_property("maxsize", &FrameQueue::maxsize,
                    [](FrameQueue &q, py::ssize_t maxsize) {
                      q.set_maxsize(static_cast<std::size_t>(std::max<py::ssize_t>(maxsize, 0)));
                    })
      .def_property_readonly(
          "mutex",
          [](const std::shared_ptr<FrameQueue> &q) {
            // Shares ownership with the queue, so the lock lives as long as either.
            return std::shared_ptr<tavol::Lock>(q, &q->mutex());
          },
          "The lock that every put and get holds while it works on the queue.")
      .def_property_readonly(
          "queue", [](const std::shared_ptr<FrameQueue> &q) { return QueueView{q}; },
          "The stored items, oldest first; clear() empties them directly.");
}

// ---------------------------------------------------------------- AudioBuffer

// add and get run for every frame, so they read their parts the cheap way:
// attribute names interned once, the instance __dict__ read directly (with
// getattr as the fallback), and the native object behind a part taken
// straight from its pybind11 instance when the type matches exactly.

enum Part {
  kFreeSlots,
  kUsedSlots,
  kClearAdd,
  kClearGet,
  kQueueMutex,
  kDataQueue,
  kRecMutex,
  kRecFreeSlots,
  kRecQueue,
  kBufferSize,
  kPartCount
};

PyObject *part_name(Part p) {
  static PyObject *const names[kPartCount] = {
      PyUnicode_InternFromString("free_slots"),  PyUnicode_InternFromString("used_slots"),
      PyUnicode_InternFromString("clear_add"),   PyUnicode_InternFromString("clear_get"),
      PyUnicode_InternFromString("queue_mutex"), PyUnicode_InternFromString("data_queue"),
      PyUnicode_InternFromString("rec_mutex"),   PyUnicode_InternFromString("rec_free_slots"),
      PyUnicode_InternFromString("rec_queue"),   PyUnicode_InternFromString("buffer_size")};
  return names[p];
}

// Strong references to an AudioBuffer's parts for the length of one call:
// another thread may rebind an attribute while this one waits.
class PartRefs {
public:
  explicit PartRefs(py::handle buffer) {
    py::object dict =
        py::reinterpret_steal<py::object>(PyObject_GenericGetDict(buffer.ptr(), nullptr));
    if (!dict)
      throw py::error_already_set();
    for (int i = 0; i < kPartCount; ++i) {
      PyObject *name = part_name(static_cast<Part>(i));
      PyObject *found = PyDict_GetItemWithError(dict.ptr(), name);
      if (found)
        refs_[i] = py::reinterpret_borrow<py::object>(found);
      else if (PyErr_Occurred())
        throw py::error_already_set();
      else
        refs_[i] = py::reinterpret_steal<py::object>(PyObject_GetAttr(buffer.ptr(), name));
      if (!refs_[i])
        throw py::error_already_set();
    }
  }

protected:
  std::array<py::object, kPartCount> refs_;
};

// One call's view of an AudioBuffer: its parts, and the core protocol over them.
class BufferParts : PartRefs {
public:
  explicit BufferParts(py::handle buffer)
      : PartRefs(buffer), fifo{refs_[kBufferSize].cast<std::size_t>(),
                               bound_value<tavol::Semaphore>(refs_[kFreeSlots]),
                               bound_value<tavol::Semaphore>(refs_[kUsedSlots]),
                               bound_value<tavol::Semaphore>(refs_[kClearAdd]),
                               bound_value<tavol::Semaphore>(refs_[kClearGet]),
                               bound_value<tavol::Lock>(refs_[kQueueMutex]),
                               bound_value<FrameQueue>(refs_[kDataQueue]),
                               bound_value<tavol::Lock>(refs_[kRecMutex]),
                               bound_value<tavol::Semaphore>(refs_[kRecFreeSlots]),
                               bound_value<FrameQueue>(refs_[kRecQueue])} {}

  tavol::FrameFifo<Frame> fifo;
};

// An int's value; OverflowError beyond 64 bits.
long long as_long_long(py::handle value) {
  const long long n = PyLong_AsLongLong(value.ptr());
  if (n == -1 && PyErr_Occurred())
    throw py::error_already_set();
  return n;
}

FrameQueue &store_of(py::handle buffer) {
  return py::reinterpret_borrow<py::object>(buffer).attr("data_queue").cast<FrameQueue &>();
}

void buffer_init(py::object buffer, py::object size) {
  check_exact_type(size, "size", &PyLong_Type);
  const long long n = as_long_long(size);
  // A store of 0 places would be unbounded yet count no free place, and drop
  // mode would then discard from an empty store.
  if (n < 1)
    throw py::value_error(kMsgSize);
  buffer.attr("buffer_size") = size;
  buffer.attr("free_slots") = std::make_shared<tavol::Semaphore>(n);
  buffer.attr("used_slots") = std::make_shared<tavol::Semaphore>(0);
  buffer.attr("clear_add") = std::make_shared<tavol::Semaphore>(1);
  buffer.attr("clear_get") = std::make_shared<tavol::Semaphore>(1);
  buffer.attr("queue_mutex") = std::make_shared<tavol::Lock>();
  buffer.attr("data_queue") = std::make_shared<FrameQueue>(static_cast<std::size_t>(n));
  buffer.attr("rec_mutex") = std::make_shared<tavol::Lock>();
  buffer.attr("rec_free_slots") = std::make_shared<tavol::Semaphore>(0);
  buffer.attr("rec_queue") = std::make_shared<FrameQueue>(0);
}

py::object buffer_get_fixed_size_data(py::object buffer, py::object queue_size) {
  // A size below 1 would arm a recording that never completes.
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(queue_size.ptr()));
  if (!index)
    throw py::error_already_set();
  const long long n = as_long_long(index);
  if (n < 1)
    throw py::value_error(kMsgQueueSize);
  BufferParts parts(buffer);
  {
    std::deque<Frame> previous = parts.fifo.arm_recording(static_cast<std::size_t>(n), SliceWait{});
  }
  try {
    print(kMsgRecording + text(queue_size) + kMsgFrames);
  } catch (...) {
    parts.fifo.abandon_recording(SliceWait{false});
    throw;
  }
  std::vector<py::object> recorded;
  parts.fifo.await_recording(SliceWait{}, SliceWait{false},
                             [&] { recorded = queue_items(parts.fifo.rec_queue); });
  py::list frames;
  for (auto &frame : recorded)
    frames.append(std::move(frame));
  return self().attr("np").attr("hstack")(frames);
}

// ---- add and get as plain CPython fast-call methods: they run once per
// frame, and skipping pybind11's general dispatcher is most of their cost.

// Binds a fast call's positional and keyword arguments to `names` (after
// self), with the interpreter's own messages; the first `required` are required.
bool bind_arguments(const char *fn, std::initializer_list<const char *> names, Py_ssize_t required,
                    PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out) {
  const auto n = static_cast<Py_ssize_t>(names.size());
  const char *const *name = names.begin();
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zd to %zd positional arguments but %zd were given", fn,
                 required + 1, n + 1, nargs + 1);
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i)
    out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t j = 0;
    while (j < n && PyUnicode_CompareWithASCIIString(key, name[j]) != 0)
      ++j;
    if (j == n) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, key);
      return false;
    }
    if (out[j]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn, name[j]);
      return false;
    }
    out[j] = args[nargs + k];
  }
  for (Py_ssize_t j = 0; j < required; ++j)
    if (!out[j]) {
      PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", fn,
                   name[j]);
      return false;
    }
  return true;
}

PyObject *buffer_add(PyObject *buffer, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return call_guarded([&]() -> PyObject * {
    PyObject *arg[2];
    if (!bind_arguments("AudioBuffer.add", {"data", "drop_full"}, 1, args, nargs, kwnames, arg))
      return nullptr;
    const int drop = arg[1] ? PyObject_IsTrue(arg[1]) : 1;
    if (drop < 0)
      return nullptr;
    BufferParts parts(buffer);
    // A dropped frame is released here, after every lock is let go.
    std::optional<Frame> dropped =
        parts.fifo.add(py::reinterpret_borrow<py::object>(arg[0]), drop != 0, SliceWait{});
    Py_RETURN_NONE;
  });
}

PyObject *buffer_get(PyObject *buffer, PyObject *) {
  return call_guarded([&]() -> PyObject * {
    BufferParts parts(buffer);
    return parts.fifo.get(SliceWait{}).release().ptr();
  });
}

PyMethodDef kFastMethods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&buffer_add)),
     METH_FASTCALL | METH_KEYWORDS,
     "add($self, data, drop_full=True)\n--\n\nAdds a frame. With drop_full (default) a full "
     "buffer drops its oldest frame and never waits; otherwise waits for a free place."},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&buffer_get)), METH_NOARGS,
     "get($self)\n--\n\nWaits for a frame and returns the oldest."},
};

void add_fast_method(py::object cls, PyMethodDef &def) {
  PyObject *descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(cls.ptr()), &def);
  if (!descr)
    throw py::error_already_set();
  py::setattr(cls, def.ml_name, py::reinterpret_steal<py::object>(descr));
}

bool buffer_clear(py::object buffer) {
  BufferParts parts(buffer);
  std::deque<Frame> removed;
  return parts.fifo.clear(removed, [] { print(kMsgClear); });
}

py::object make_audio_buffer() {
  py::object cls = make_class(
      kModule, "AudioBuffer", object_bases(),
      py::str(
          "Bounded buffer of the most recent frames between a producer and consumer threads.\n\n"
          "add() stores a frame (by default dropping the oldest when full), get() waits for the "
          "oldest, get_fixed_size_data(n) waits for the next n frames added in drop mode and "
          "stacks them, clear() empties an idle buffer."));
  add_method(cls, "__init__", &buffer_init, "size"_a = tavol::kDefaultBufferFrames);
  add_fast_method(cls, kFastMethods[0]);
  add_method(cls, "get_fixed_size_data", &buffer_get_fixed_size_data, "queue_size"_a,
             "Waits for the next `queue_size` frames added in drop mode and returns them "
             "stacked with numpy.hstack.");
  add_fast_method(cls, kFastMethods[1]);
  add_method(cls, "clear", &buffer_clear,
             "Empties the buffer unless it is empty or an add or get is under way; True when it "
             "did.");
  add_method(
      cls, "size", [](py::object b) { return store_of(b).qsize(); },
      "Number of frames in the buffer.");
  add_method(
      cls, "max_size", [](py::object b) { return store_of(b).maxsize(); },
      "Capacity of the buffer.");
  add_method(cls, "is_full", [](py::object b) { return store_of(b).full(); });
  add_method(cls, "is_empty", [](py::object b) { return store_of(b).empty(); });
  // AudioBuffer[FrameType] in annotations, as for the standard library's containers.
  cls.attr("__class_getitem__") = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(
      &PyClassMethod_Type))(py::module_::import("types").attr("GenericAlias"));
  return cls;
}

// ---------------------------------------------------------------- FetchBuffer

py::object thread_super(py::handle fetch) {
  return py::module_::import("builtins").attr("super")(self().attr("FetchBuffer"), fetch);
}

void fetch_init(py::object fetch, py::object buffer) {
  thread_super(fetch).attr("__init__")();
  py_assert(py::isinstance(buffer, self().attr("AudioBuffer")), py::str(kMsgBufferError));
  fetch.attr("buffer") = buffer;
  fetch.attr("data") = py::none();
  // A fetch whose frames never come must not keep the interpreter from exiting.
  fetch.attr("daemon") = true;
}

py::object fetch_join(py::object fetch, py::object timeout) {
  check_exact_type(timeout, "timeout", &PyFloat_Type, true);
  thread_super(fetch).attr("join")(timeout);
  return fetch.attr("data");
}

py::object fetch_get_data(py::object fetch, py::object desired_queue_size, py::object timeout) {
  check_exact_type(timeout, "timeout", &PyFloat_Type, true);
  fetch.attr("queue_size") = desired_queue_size;
  fetch.attr("start")();
  return fetch.attr("join")(timeout);
}

void fetch_run(py::object fetch) {
  py::object queue_size = fetch.attr("queue_size");
  if (py::isinstance<py::int_>(queue_size))
    fetch.attr("data") = fetch.attr("buffer").attr("get_fixed_size_data")(queue_size);
}

py::object make_fetch_buffer(py::module_ &m) {
  py::object cls = make_class(
      kModule, "FetchBuffer", py::make_tuple(m.attr("threading").attr("Thread")),
      py::str(
          "Thread that fetches the next N frames of an AudioBuffer: get_data(n, timeout) returns "
          "them stacked, or None when they have not arrived within `timeout` seconds (a later "
          "join() returns them once they have)."));
  add_method(cls, "__init__", &fetch_init, "buffer"_a);
  add_method(cls, "get_data", &fetch_get_data, "desired_queue_size"_a, "timeout"_a = py::none(),
             "Starts the fetch of `desired_queue_size` frames and waits for it at most "
             "`timeout` seconds (a float; None: no limit); returns the frames or None.");
  add_method(cls, "run", &fetch_run);
  add_method(cls, "join", &fetch_join, "timeout"_a = py::none(),
             "Waits for the fetch (at most `timeout` seconds) and returns its data, or None.");
  return cls;
}

} // namespace

PYBIND11_MODULE(buffer, m) {
  register_translators();
  m.doc() = "Thread-safe frame buffer and the fetch thread that reads it.";

  bind_lazily(m, {{"np", "numpy"}});
  m.attr("threading") = py::module_::import("threading");
  m.attr("queue") = py::module_::import("queue");
  bind_primitives(m);
  m.attr("AudioBuffer") = make_audio_buffer();
  m.attr("FetchBuffer") = make_fetch_buffer(m);
  m.def(
      "display_after_fetch", [](py::object lck) { lck.attr("wait")(); }, "lck"_a,
      "Blocks until the event `lck` is set.");

  m.attr("__all__") = py::list(py::make_tuple("AudioBuffer", "FetchBuffer"));
  finish_module(m);
}

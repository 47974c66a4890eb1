#include "support/support.hpp"

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tavol/constants.hpp"
#include "tavol/errors.hpp"

namespace tavol::bind {
namespace {

void set_os_error(int err, const std::string &message, const std::filesystem::path &path) {
  py::object args = py::make_tuple(err, message, path.string());
  PyErr_SetObject(PyExc_OSError, args.ptr());
}

} // namespace

void register_translators() {
  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      if (p)
        std::rethrow_exception(p);
    } catch (const InvalidArgument &e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const IoError &e) {
      set_os_error(e.error_number(), e.what(), e.path());
    } catch (const AudioError &e) {
      std::error_code ec;
      if (!std::filesystem::exists(e.path(), ec))
        set_os_error(ENOENT, "No such file or directory", e.path());
      else
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const Error &e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    }
  });
}

void check_exact_type(py::handle value, const char *name, py::handle expected, bool none_ok) {
  if (none_ok && value.is_none())
    return;
  if (Py_TYPE(value.ptr()) == reinterpret_cast<PyTypeObject *>(expected.ptr()))
    return;
  PyErr_Format(
      PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
      reinterpret_cast<PyTypeObject *>(expected.ptr())->tp_name, Py_TYPE(value.ptr())->tp_name);
  throw py::error_already_set();
}

bool assertions_enabled() {
  return py::module_::import("sys").attr("flags").attr("optimize").cast<int>() == 0;
}

void py_assert(bool cond, py::handle message) {
  if (cond || !assertions_enabled())
    return;
  PyErr_SetObject(PyExc_AssertionError, message.ptr());
  throw py::error_already_set();
}

py::object progress(py::handle module, py::handle iterable, const std::string &desc) {
  return module.attr("tqdm")(iterable, py::arg("desc") = desc);
}

py::object progress_total(py::handle module, std::size_t total, const std::string &desc) {
  return module.attr("tqdm")(py::arg("total") = total, py::arg("desc") = desc);
}

py::object to_path(py::handle module, py::handle value) {
  py::object path = module.attr("Path")(value);
  fs_path(path);
  return path;
}

std::string fs_path(py::handle path) {
  PyObject *encoded = nullptr;
  if (PyUnicode_FSConverter(path.ptr(), &encoded) == 0)
    throw py::error_already_set();
  const auto bytes = py::reinterpret_steal<py::bytes>(encoded);
  return bytes.cast<std::string>();
}

RecursionGuard::RecursionGuard(const char *where) {
  if (Py_EnterRecursiveCall(where) != 0)
    throw py::error_already_set();
}

RecursionGuard::~RecursionGuard() { Py_LeaveRecursiveCall(); }

py::array_t<float> to_numpy(std::vector<float> &&data, std::vector<py::ssize_t> shape) {
  auto *owned = new std::vector<float>(std::move(data));
  py::capsule owner(owned, [](void *p) { delete static_cast<std::vector<float> *>(p); });
  return py::array_t<float>(std::move(shape), owned->data(), owner);
}

py::array_t<float> to_numpy(float *data, std::vector<py::ssize_t> shape,
                            std::shared_ptr<void> owner) {
  auto *held = new std::shared_ptr<void>(std::move(owner));
  py::capsule base(held, [](void *p) { delete static_cast<std::shared_ptr<void> *>(p); });
  return py::array_t<float>(std::move(shape), data, base);
}

void wait_interruptibly(WorkerPool &pool, const std::function<void(std::size_t)> &on_progress) {
  std::size_t reported = 0;
  const auto report = [&] {
    const std::size_t finished = pool.finished();
    if (finished != reported) {
      on_progress(finished);
      reported = finished;
    }
  };
  try {
    wait_in_slices(
        [&](std::chrono::milliseconds slice) {
          pool.wait_for(slice);
          return pool.done();
        },
        std::nullopt, true, report);
    report();
  } catch (...) {
    pool.cancel();
    {
      py::gil_scoped_release release;
      pool.join();
    }
    throw;
  }
  {
    py::gil_scoped_release release;
    pool.join();
  }
  pool.rethrow_if_failed();
}

void with_context(const py::object &manager, const std::function<void(py::object)> &body) {
  py::object exit = manager.attr("__exit__");
  py::object entered = manager.attr("__enter__")();
  try {
    try {
      body(entered);
    } catch (py::builtin_exception &e) {
      e.set_error();
      throw py::error_already_set();
    }
  } catch (py::error_already_set &e) {
    const auto or_none = [](const py::object &o) { return o ? o : py::none(); };
    if (py::bool_(exit(or_none(e.type()), or_none(e.value()), or_none(e.trace()))))
      return;
    throw;
  }
  exit(py::none(), py::none(), py::none());
}

py::tuple unpack(const py::handle &value, std::size_t n) {
  PyObject *it = PyObject_GetIter(value.ptr());
  if (it == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
      throw py::error_already_set();
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                 Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
  }
  const auto iterator = py::reinterpret_steal<py::object>(it);
  py::list items;
  for (std::size_t got = 0; got <= n; ++got) {
    auto item = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
    if (!item) {
      if (PyErr_Occurred())
        throw py::error_already_set();
      if (got == n)
        return py::tuple(items);
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, got);
      throw py::error_already_set();
    }
    if (got == n)
      break;
    items.append(item);
  }
  PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
  throw py::error_already_set();
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

void park_forever() {
  for (;;)
    std::this_thread::sleep_for(std::chrono::hours(1));
}

} // namespace tavol::bind

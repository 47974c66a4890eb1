#include "support/errors.hpp"

#include <cerrno>
#include <filesystem>
#include <string>

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

RecursionGuard::RecursionGuard(const char *where) {
  if (Py_EnterRecursiveCall(where) != 0)
    throw py::error_already_set();
}

RecursionGuard::~RecursionGuard() { Py_LeaveRecursiveCall(); }

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

} // namespace tavol::bind

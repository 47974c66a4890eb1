// Errors as Python sees them: the translation of the core's exceptions, the
// exact-type checks of annotated parameters, `assert` statements that honour
// `python -O`, `with` blocks and the recursion limit.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

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
inline void check_exact_type(py::handle value, const char *name, PyTypeObject *expected,
                             bool none_ok = false) {
  check_exact_type(value, name, reinterpret_cast<PyObject *>(expected), none_ok);
}

// `assert cond, message`: AssertionError(message) unless the interpreter runs with -O.
void py_assert(bool cond, py::handle message);

// False under `python -O`, where assert statements (their conditions included) are skipped.
bool assertions_enabled();

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

// `with manager as entered: body(entered)`: __exit__ gets the exception, if
// any, and may suppress it, as in the Python statement.
void with_context(const py::object &manager, const std::function<void(py::object)> &body);

} // namespace tavol::bind

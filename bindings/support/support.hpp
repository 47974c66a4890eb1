// Glue shared by every extension module: exception translation, exact-type
// checks, assertions that honour `python -O`, printing and progress bars
// through the module's own bound names, picklable static methods, numpy
// arrays over core buffers, and interruptible waits on the core's workers.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tavol/worker_pool.hpp"

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

// `Path(value)` through the module's bound `Path`.
py::object to_path(py::handle module, py::handle value);

// Stores `fn` on `cls` as a real staticmethod that pickles by reference, as
// `getattr(cls, name)`, so it can be shipped to process pools. (A plain
// def_static method would refuse to pickle.)
void add_static_method(py::module_ &module, py::object cls, const char *name, py::cpp_function fn);

// Hands a core buffer to numpy without copying; the capsule owns the vector.
py::array_t<float> to_numpy(std::vector<float> &&data, std::vector<py::ssize_t> shape);
// The same for memory kept alive by a shared owner (an arena block).
py::array_t<float> to_numpy(float *data, std::vector<py::ssize_t> shape,
                            std::shared_ptr<void> owner);

// Waits for `pool` with the GIL released, in short slices. Between slices,
// with the GIL, calls on_progress(finished tasks) and checks for signals: on
// Ctrl-C it cancels the pool, waits for the running tasks and raises
// KeyboardInterrupt. Afterwards rethrows the first task failure, if any.
void wait_interruptibly(WorkerPool &pool, const std::function<void(std::size_t)> &on_progress);

// A plain Python class, `type(name, bases, {...})`, whose instances keep their
// attributes in __dict__; __module__ is `module` so help() and pickle see the real name.
py::object make_class(const char *module, const char *name, const py::tuple &bases,
                      py::object doc = py::none());

// pybind11 takes any function named "__init__" for the constructor of one of
// its own classes and would treat the instance as a C++ one; an `__init__` of
// a plain Python class must be dispatched as an ordinary method instead.
void mark_plain_method(const py::cpp_function &fn);

// Sets `fn` as the method `name` of a class made by make_class.
template <typename Func, typename... Extra>
void add_method(const py::object &cls, const char *name, Func &&fn, const Extra &...extra) {
  py::cpp_function method(std::forward<Func>(fn), py::name(name), py::is_method(cls), extra...);
  mark_plain_method(method);
  py::setattr(cls, name, method);
}

// `with manager as entered: body(entered)`: __exit__ gets the exception, if
// any, and may suppress it, as in the Python statement.
void with_context(const py::object &manager, const std::function<void(py::object)> &body);

// `a, b, ... = value` with exactly `n` targets, raising the interpreter's own
// TypeError / ValueError messages (None gives "cannot unpack non-iterable NoneType object").
py::tuple unpack(const py::handle &value, std::size_t n);

} // namespace tavol::bind

// Every use of pybind11's internals, in one place. Each item says why no public
// API serves. A new pybind11 series may change any of them, so the build is held
// to the series they were written against (pyproject.toml pins it too, and
// tests/python/test_packaging.py checks the installed binder).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

static_assert(PYBIND11_VERSION_MAJOR == 3 && PYBIND11_VERSION_MINOR == 1,
              "tavol's bindings read pybind11 internals (function records, instance layout, the "
              "exception translators, the module-init catch) as pybind11 3.1 lays them out; "
              "check bindings/support/binder_internals.hpp against this pybind11, then move the "
              "pin in pyproject.toml");

// A module whose init fails on an import (a missing package, see import_extra)
// lets that ImportError through as it is, so that `import` shows what to
// install; pybind11 would bury it under "ImportError: initialization failed".
// pybind11 offers no hook for init errors; its PYBIND11_MODULE expands this
// macro, which it defines only when it is not defined yet.
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

// ---- functions made by pybind11. Their names, defaults and docstring live in
// a function record that the public API does not expose: `__doc__` has a
// signature line written into it, `inspect.signature` cannot read a builtin
// made by pybind11, and `__name__` is all the public face offers.

// True for a function made by pybind11 (by any module).
bool is_binder_function(py::handle fn);

// True when `fn`, made by pybind11, was defined with `scope` as its scope
// (m.def on that module): functions a module merely stores are someone else's.
bool binder_function_defined_in(py::handle fn, py::handle scope);

// The name `fn` was bound under.
std::string binder_function_name(py::handle fn);

// The docstring as written in the binding (None when there is none).
py::object binder_docstring(py::handle fn);

// inspect.Signature from the names, kinds and defaults `fn` was bound with.
py::object binder_signature(py::handle fn);

// pybind11 takes any function named "__init__" for the constructor of one of
// its own classes and would treat the instance as a C++ one; the __init__ of a
// plain Python class (make_class) is an ordinary method. There is no public
// way to say so when binding it. (py::init constructors stay what they are.)
void treat_as_plain_method(py::handle fn);

// ---- instances of bound classes

// The C++ object held by `obj`, an instance of the class bound for C. When
// type(obj) is exactly that class, it is read from the instance's value slot
// directly: the general caster (`obj.cast<C &>()`, which is taken otherwise)
// walks the type's bases and the registered types on every call, and this runs
// once per frame in the buffer's fast paths.
template <class C> C &bound_value(py::handle obj) {
  static PyTypeObject *const type = reinterpret_cast<PyTypeObject *>(py::type::of<C>().ptr());
  if (Py_TYPE(obj.ptr()) == type) {
    auto *inst = reinterpret_cast<py::detail::instance *>(obj.ptr());
    return *static_cast<C *>(inst->get_value_and_holder().value_ptr());
  }
  return obj.cast<C &>();
}

// ---- plain CPython entry points

// Runs `body` inside a function registered with CPython directly (not through
// pybind11's dispatcher): a C++ exception becomes the Python error, translated
// by the registered translators exactly as pybind11's dispatcher does. The
// translator chain is only reachable through pybind11's internals.
template <class F> PyObject *call_guarded(F &&body) {
  try {
    return std::forward<F>(body)();
  } catch (py::error_already_set &e) {
    e.restore();
#ifdef __GLIBCXX__
  } catch (abi::__forced_unwind &) { // thread cancellation must keep unwinding
    throw;
#endif
  } catch (...) {
    py::detail::try_translate_exceptions();
  }
  return nullptr;
}

} // namespace tavol::bind

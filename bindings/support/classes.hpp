// Plain Python classes built at import (`type(name, bases, namespace)`), with
// the module's functions as their methods: instances keep their attributes in
// __dict__, private methods sit under their mangled names, static methods
// pickle by reference.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace tavol::bind {

namespace py = pybind11;

// set_method and add_static_method give the methods the face of functions.hpp,
// and are defined with it (functions.cpp).

// `(object,)`: the bases of a class with no other base.
py::tuple object_bases();

// A plain Python class, `type(name, bases, {...})`, whose instances keep their
// attributes in __dict__; __module__ is `module` so help() and pickle see the real name.
py::object make_class(const char *module, const char *name, const py::tuple &bases,
                      py::object doc = py::none());

// Stores `fn` (a pybind11 function with is_method) as the method `name` of a
// class made by make_class. A private name is given mangled
// ("_Class__name"), as Python stores it.
void set_method(const py::object &cls, const char *name, const py::object &fn);

// Sets `fn` as the method `name` of a class made by make_class.
template <typename Func, typename... Extra>
void add_method(const py::object &cls, const char *name, Func &&fn, const Extra &...extra) {
  set_method(
      cls, name,
      py::cpp_function(std::forward<Func>(fn), py::name(name), py::is_method(cls), extra...));
}

// Stores `fn` on `cls` as a real staticmethod that pickles by reference, as
// `getattr(cls, name)`, so it can be shipped to process pools.
void add_static_method(py::module_ &module, py::object cls, const char *name, py::cpp_function fn);

} // namespace tavol::bind

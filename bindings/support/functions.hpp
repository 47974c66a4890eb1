// How bound functions and classes look from Python. A function made by pybind11
// is a builtin whose __qualname__ names a binder type, whose signature
// inspect cannot read and whose help() shows every parameter as `object`.
// Every public callable of our modules is therefore handed out as a native
// function with the face of a Python function of its module: __name__,
// __qualname__, __module__, the docstring as written, a real
// inspect.signature, binding as a method when stored in a class, and
// pickling by reference (module + qualified name), so that process pools,
// Dask and Ray can ship it.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace tavol::bind {

namespace py = pybind11;

// `fn` (a pybind11 function, or any callable) as a native function named
// `qualname` (its last dotted part is __name__) of `module`. `method`: the
// first parameter is `self`, given by the binding when the function is read
// through an instance (or as the keyword `self`). `reduce_path` is what pickle
// looks up in `module`; empty means `qualname`.
py::object native_function(py::handle fn, const std::string &module, const std::string &qualname,
                           bool method, const std::string &reduce_path = {});

// Gives the face above to every function that the module's init defined with
// m.def and to every method of the module's classes still in pybind11 form.
// Called last in every module's init.
void finish_module(py::module_ &m);

} // namespace tavol::bind

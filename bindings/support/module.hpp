// The module a binding file builds. Its dotted name comes from the build
// (tavol_add_module in bindings/CMakeLists.txt names the module and its file
// there, once); functions look the module up at call time, as Python code
// reads its globals, so callers can substitute the names bound on it.
#pragma once

#include <pybind11/pybind11.h>

#ifdef TAVOL_MODULE
namespace {

[[maybe_unused]] constexpr const char *kModule = TAVOL_MODULE;

[[maybe_unused]] inline pybind11::module_ self() { return pybind11::module_::import(kModule); }

} // namespace
#endif

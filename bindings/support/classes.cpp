#include "support/classes.hpp"

#include <utility>

namespace tavol::bind {

py::tuple object_bases() {
  return py::make_tuple(
      py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
}

py::object make_class(const char *module, const char *name, const py::tuple &bases,
                      py::object doc) {
  py::dict ns;
  ns["__module__"] = module;
  ns["__qualname__"] = name;
  ns["__doc__"] = std::move(doc);
  const auto type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type));
  return type(name, bases, ns);
}

} // namespace tavol::bind

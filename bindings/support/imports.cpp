#include "support/imports.hpp"

#include <string>

namespace tavol::bind {

py::module_ import_extra(const char *name, const char *extra, const char *importer) {
  try {
    return py::module_::import(name);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_ModuleNotFoundError))
      throw;
    std::string missing = py::str(e.value().attr("name")).cast<std::string>();
    missing = missing.substr(0, missing.find('.')); // the package, not one of its modules
    const std::string message =
        std::string(importer) + " needs " + missing + ": pip install 'tavol[" + extra + "]'";
    py::raise_from(e, PyExc_ModuleNotFoundError, message.c_str());
    throw py::error_already_set();
  }
}

void bind_lazily(py::module_ &m, std::initializer_list<LazyName> names,
                 std::initializer_list<std::pair<const char *, const char *>> extras) {
  py::dict table, aliases;
  for (const auto &[name, target] : extras)
    aliases[name] = py::str(target);
  for (const LazyName &entry : names)
    table[entry.name] = py::make_tuple(
        entry.module, entry.attribute ? py::object(py::str(entry.attribute)) : py::none(),
        entry.also ? py::object(py::str(entry.also)) : py::none(),
        entry.extra ? py::object(py::str(entry.extra)) : py::none());
  const std::string module_name = m.attr("__name__").cast<std::string>();
  // The functions hold the module's namespace, not the module: no reference cycle.
  py::dict space = m.attr("__dict__");

  m.def("__getattr__", [table, aliases, space, module_name](const py::str &name) -> py::object {
    if (aliases.contains(name))
      return space[aliases[name]];
    if (!table.contains(name)) {
      PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'", module_name.c_str(),
                   name.ptr());
      throw py::error_already_set();
    }
    const py::tuple entry = table[name];
    const std::string module = entry[0].cast<std::string>();
    py::object value = entry[3].is_none()
                           ? py::module_::import(module.c_str())
                           : import_extra(module.c_str(), entry[3].cast<std::string>().c_str(),
                                          module_name.c_str());
    if (!entry[2].is_none())
      py::module_::import(entry[2].cast<std::string>().c_str());
    if (!entry[1].is_none())
      value = value.attr(entry[1]);
    space[name] = value;
    return value;
  });
  m.def("__dir__", [table, space]() {
    py::set names(space);
    for (auto item : table)
      names.add(item.first);
    return py::module_::import("builtins").attr("sorted")(names);
  });
}

} // namespace tavol::bind

#include "support/binder_internals.hpp"

#include <cstddef>

namespace tavol::bind {
namespace {

// The record of a function made by pybind11 (of any module), else nullptr.
py::detail::function_record *record_of(py::handle fn) {
  if (!fn || !PyCFunction_Check(fn.ptr()))
    return nullptr;
  return py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(fn.ptr()));
}

py::detail::function_record &record(py::handle fn) {
  auto *rec = record_of(fn);
  if (!rec)
    throw py::type_error("not a function made by pybind11");
  return *rec;
}

} // namespace

bool is_binder_function(py::handle fn) { return record_of(fn) != nullptr; }

bool binder_function_defined_in(py::handle fn, py::handle scope) {
  const auto *rec = record_of(fn);
  return rec && rec->scope.is(scope);
}

std::string binder_function_name(py::handle fn) { return record(fn).name; }

py::object binder_docstring(py::handle fn) {
  const auto &rec = record(fn);
  return rec.doc ? py::object(py::str(rec.doc)) : py::object(py::none());
}

py::object binder_signature(py::handle fn) {
  const auto &rec = record(fn);
  py::module_ inspect = py::module_::import("inspect");
  py::object parameter = inspect.attr("Parameter");
  py::list parameters;
  const std::size_t count = rec.nargs;
  for (std::size_t i = 0; i < count; ++i) {
    const py::detail::argument_record *arg = i < rec.args.size() ? &rec.args[i] : nullptr;
    const char *kind;
    std::string name;
    if (rec.has_args && i == rec.nargs_pos) {
      kind = "VAR_POSITIONAL";
      name = "args";
    } else if (rec.has_kwargs && i + 1 == count) {
      kind = "VAR_KEYWORD";
      name = "kwargs";
    } else if (i < rec.nargs_pos_only && !(rec.is_method && i == 0)) {
      kind = "POSITIONAL_ONLY";
    } else if (i < rec.nargs_pos) {
      kind = "POSITIONAL_OR_KEYWORD";
    } else {
      kind = "KEYWORD_ONLY";
    }
    if (arg && arg->name)
      name = arg->name;
    else if (rec.is_method && i == 0)
      name = "self";
    else if (name.empty())
      name = "arg" + std::to_string(i);
    py::object default_value = arg && arg->value ? py::reinterpret_borrow<py::object>(arg->value)
                                                 : parameter.attr("empty");
    parameters.append(
        parameter(name, parameter.attr(kind), py::arg("default") = std::move(default_value)));
  }
  return inspect.attr("Signature")(parameters);
}

void treat_as_plain_method(py::handle fn) {
  if (auto *rec = record_of(fn); rec && !rec->is_new_style_constructor)
    rec->is_constructor = false;
}

} // namespace tavol::bind

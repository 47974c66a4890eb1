// tavol.util.conv: writes tables into named sheets of Excel workbooks, and
// changes the case of string lists.
//
// pandas, openpyxl and os are called through this module's bound names.
#include <pybind11/pybind11.h>

#include <string>

#include "support/imports.hpp"
#include "support/support.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using namespace tavol::bind;

namespace {

constexpr const char *kMinPandas = "1.0.3";
constexpr const char *kMsgOldPandas = "Need pandas version >= 1.0.3";
constexpr const char *kMsgDataError = "[data2xlsx] data error: ";
constexpr const char *kMsgDataType = "[data2xlsx] check the data type";

// Widens every column of `worksheet` to the longest text form of its cells
// (header and index included; an empty cell counts as "None").
void fit_columns(const py::module_ &m, const py::object &worksheet) {
  py::object letter = m.attr("get_column_letter");
  py::object dimensions = worksheet.attr("column_dimensions");
  for (py::handle column : worksheet.attr("columns")) {
    std::size_t width = 0;
    py::object first;
    for (py::handle cell : column) {
      if (!first)
        first = py::reinterpret_borrow<py::object>(cell);
      width = std::max(width, py::len(py::str(cell.attr("value"))));
    }
    if (!first)
      continue;
    dimensions[letter(first.attr("column"))].attr("width") = width;
  }
}

// A name for a temporary file in the folder of `target`, with its extension
// (pandas picks the writer by it): short, whatever the final name, and free.
py::object temporary_sibling(const py::object &path, const py::object &target) {
  py::object token = py::module_::import("secrets").attr("token_hex");
  const py::object folder = path.attr("dirname")(target);
  const py::object extension = path.attr("splitext")(target)[py::int_(1)];
  for (;;) {
    py::object candidate =
        path.attr("join")(folder, py::str(".tavol-") + token(6) + py::str(extension));
    if (!py::bool_(path.attr("lexists")(candidate)))
      return candidate;
  }
}

// Returns None when written (or when pandas is too old), else a message string.
py::object data2xlsx(const py::object &data, const py::object &xlsx_dir,
                     const py::object &sheet_name, const py::object &index,
                     const py::object &fit_column) {
  py::module_ m = self();
  py::object pd = m.attr("pd");
  // The version is compared as text, as it always has been.
  if (py::object(pd.attr("__version__")) < py::str(kMinPandas)) {
    print(kMsgOldPandas);
    return py::none();
  }

  py::object table;
  if (PyDict_Check(data.ptr())) {
    try {
      table = pd.attr("DataFrame").attr("from_dict")(data, "orient"_a = "columns");
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_Exception))
        throw;
      py::object error = e.value();
      tavol::bind::print(error);
      return py::str(kMsgDataError) + py::str(error);
    }
  } else if (py::isinstance(data, pd.attr("DataFrame"))) {
    table = data;
  } else {
    return py::str(kMsgDataType);
  }

  fs_path(xlsx_dir); // ValueError for a NUL byte, before anything is touched
  py::object os = m.attr("os");
  py::object path = os.attr("path");
  py::object folder = path.attr("dirname")(xlsx_dir);
  // A bare file name has no folder part: it is written into the current folder.
  if (py::len(folder) > 0 && !py::bool_(path.attr("isdir")(folder)))
    os.attr("makedirs")(folder);

  // The workbook is written under a temporary name beside the file (beside
  // its target, for a link) and renamed over it only once pandas and openpyxl
  // are done, so a failure at any step leaves the file on disk as it was.
  const bool exists = py::bool_(path.attr("isfile")(xlsx_dir));
  const py::object target = exists ? path.attr("realpath")(xlsx_dir) : os.attr("fspath")(xlsx_dir);
  const py::object temporary = temporary_sibling(path, target);
  try {
    if (!exists) {
      table.attr("to_excel")(temporary, "sheet_name"_a = sheet_name, "index"_a = index);
    } else {
      // Replacing by rename needs no write permission on the workbook itself:
      // open it as the writer would have, so a read-only one is still refused.
      py::module_::import("builtins").attr("open")(target, "r+b").attr("close")();
      py::module_ shutil = py::module_::import("shutil");
      shutil.attr("copyfile")(target, temporary);
      shutil.attr("copymode")(target, temporary);
      py::object writer = pd.attr("ExcelWriter")(temporary, "engine"_a = "openpyxl", "mode"_a = "a",
                                                 "if_sheet_exists"_a = "replace");
      with_context(writer, [&](const py::object &w) {
        table.attr("to_excel")(w, "sheet_name"_a = sheet_name, "index"_a = index);
        if (py::bool_(fit_column))
          fit_columns(m, w.attr("book")[sheet_name]);
      });
    }
    os.attr("replace")(temporary, target);
  } catch (...) {
    try {
      if (py::bool_(path.attr("lexists")(temporary)))
        os.attr("remove")(temporary);
    } catch (py::error_already_set &) { // the error that brought us here is the one to see
    }
    throw;
  }
  return py::none();
}

py::list change_case(const py::object &lst, const char *method) {
  py::list out;
  for (py::handle item : lst)
    if (py::isinstance<py::str>(item))
      out.append(item.attr(method)());
  return out;
}

} // namespace

PYBIND11_MODULE(conv, m) {
  register_translators();
  m.doc() = "Excel export of tables, and case helpers for string lists.";

  m.attr("os") = py::module_::import("os");
  bind_lazily(m, {{"pd", "pandas"},
                  {"get_column_letter", "openpyxl.utils", "get_column_letter", nullptr, "excel"}});
  m.attr("__all__") = py::list(py::make_tuple("data2xlsx", "lowercase", "upercase"));

  m.def("data2xlsx", &data2xlsx, "data"_a, "xlsx_dir"_a, "sheet_name"_a, "index"_a = false,
        "fit_column"_a = true,
        "Writes `data` (a DataFrame, or a dict of columns) into the sheet `sheet_name` of the "
        "workbook `xlsx_dir`.\nA new workbook is created with its folder; in an existing one the "
        "sheet is added or replaced, and with fit_column every column is widened to its longest "
        "cell text.\nReturns None, or a message string when the data cannot be used.");
  m.def(
      "lowercase", [](const py::object &lst) { return change_case(lst, "lower"); }, "lst"_a,
      "The strings of `lst` in lower case, as a new list; other items are left out.");
  m.def(
      "upercase", [](const py::object &lst) { return change_case(lst, "upper"); }, "lst"_a,
      "The strings of `lst` in upper case, as a new list; other items are left out.");
  finish_module(m);
}

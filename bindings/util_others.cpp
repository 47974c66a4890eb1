// tavol.util.others: reports the repeated entries of a list.
#include <pybind11/pybind11.h>

#include "support/support.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using namespace tavol::bind;

namespace {

// Counts every element (through the module's bound Counter), prints the
// repeated ones and their counts, and returns the counts of all elements in
// first-occurrence order.
py::dict find_duplicate(const py::object &file_list) {
  py::object counter = self().attr("Counter")(file_list);
  // A plain dict, not the Counter itself (py::dict would keep the subclass).
  auto counts = py::reinterpret_steal<py::dict>(PyDict_Copy(counter.ptr()));
  if (!counts)
    throw py::error_already_set();
  py::list repeated;
  py::dict repeated_counts;
  const py::int_ once(1);
  for (auto [element, count] : counts) {
    if (count > once) {
      repeated.append(element);
      repeated_counts[element] = count;
    }
  }
  tavol::bind::print(repeated);
  tavol::bind::print(repeated_counts);
  return counts;
}

} // namespace

PYBIND11_MODULE(others, m) {
  register_translators();
  m.doc() = "Duplicate finder for lists of file names or paths.";

  m.attr("Counter") = py::module_::import("collections").attr("Counter");
  m.attr("__all__") = py::list(py::make_tuple("find_duplicate"));

  m.def("find_duplicate", &find_duplicate, "file_list"_a,
        "Prints the elements of `file_list` that occur more than once, then their counts; returns "
        "the count of every element as a dict, in first-occurrence order.");
  finish_module(m);
}

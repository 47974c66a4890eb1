#include "support/progress.hpp"

namespace tavol::bind {

py::object progress(py::handle module, py::handle iterable, const std::string &desc) {
  return module.attr("tqdm")(iterable, py::arg("desc") = desc);
}

py::object progress_total(py::handle module, std::size_t total, const std::string &desc) {
  return module.attr("tqdm")(py::arg("total") = total, py::arg("desc") = desc);
}

} // namespace tavol::bind

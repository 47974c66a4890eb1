// What a user sees while a call runs: messages through Python's print and tqdm
// progress bars, both looked up at call time (redirect_stdout, capsys and a
// substituted `tqdm` see them).
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <utility>

namespace tavol::bind {

namespace py = pybind11;

// Calls builtins.print, looked up at call time, so redirect_stdout and capsys see it.
template <typename... Args> void print(Args &&...args) { py::print(std::forward<Args>(args)...); }

// `tqdm(iterable, desc=desc)` through the module's bound `tqdm`, looked up at call time.
py::object progress(py::handle module, py::handle iterable, const std::string &desc);
// `tqdm(total=total, desc=desc)` for bars advanced by hand with update().
py::object progress_total(py::handle module, std::size_t total, const std::string &desc);

} // namespace tavol::bind

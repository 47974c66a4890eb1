// Conversions between Python objects and what the core takes: paths (pathlib
// and the bytes the operating system sees), text, numpy arrays over core
// buffers, and Python's unpacking.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tavol::bind {

namespace py = pybind11;

// `str(value)` as UTF-8 text, for messages.
std::string text(py::handle value);

// `Path(value)` through the module's bound `Path`. Raises ValueError
// "embedded null byte", as open() does, for a path holding a NUL byte: every
// binding that takes a path converts it here, and a C call given such a path
// would stop at the NUL and use another file.
py::object to_path(py::handle module, py::handle value);

// The bytes the operating system is given for `path` (str, bytes or
// os.PathLike), as os.fsencode(os.fspath(path)) makes them: a name that is not
// valid UTF-8 keeps its bytes. ValueError "embedded null byte" for a NUL byte,
// TypeError for an object that is not a path. For paths handed to the core.
std::string fs_path(py::handle path);

// Hands a core buffer to numpy without copying; the capsule owns the vector.
py::array_t<float> to_numpy(std::vector<float> &&data, std::vector<py::ssize_t> shape);
// The same for memory kept alive by a shared owner (an arena block).
py::array_t<float> to_numpy(float *data, std::vector<py::ssize_t> shape,
                            std::shared_ptr<void> owner);

// `a, b, ... = value` with exactly `n` targets, raising the interpreter's own
// TypeError / ValueError messages (None gives "cannot unpack non-iterable NoneType object").
py::tuple unpack(const py::handle &value, std::size_t n);

} // namespace tavol::bind

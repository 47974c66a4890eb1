#include "support/conversions.hpp"

#include <utility>

namespace tavol::bind {

std::string text(py::handle value) { return py::str(value).cast<std::string>(); }

py::object to_path(py::handle module, py::handle value) {
  py::object path = module.attr("Path")(value);
  fs_path(path);
  return path;
}

std::string fs_path(py::handle path) {
  PyObject *encoded = nullptr;
  if (PyUnicode_FSConverter(path.ptr(), &encoded) == 0)
    throw py::error_already_set();
  const auto bytes = py::reinterpret_steal<py::bytes>(encoded);
  return bytes.cast<std::string>();
}

py::array_t<float> to_numpy(std::vector<float> &&data, std::vector<py::ssize_t> shape) {
  auto *owned = new std::vector<float>(std::move(data));
  py::capsule owner(owned, [](void *p) { delete static_cast<std::vector<float> *>(p); });
  return py::array_t<float>(std::move(shape), owned->data(), owner);
}

py::array_t<float> to_numpy(float *data, std::vector<py::ssize_t> shape,
                            std::shared_ptr<void> owner) {
  auto *held = new std::shared_ptr<void>(std::move(owner));
  py::capsule base(held, [](void *p) { delete static_cast<std::shared_ptr<void> *>(p); });
  return py::array_t<float>(std::move(shape), data, base);
}

py::tuple unpack(const py::handle &value, std::size_t n) {
  PyObject *it = PyObject_GetIter(value.ptr());
  if (it == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
      throw py::error_already_set();
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                 Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
  }
  const auto iterator = py::reinterpret_steal<py::object>(it);
  py::list items;
  for (std::size_t got = 0; got <= n; ++got) {
    auto item = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
    if (!item) {
      if (PyErr_Occurred())
        throw py::error_already_set();
      if (got == n)
        return py::tuple(items);
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, got);
      throw py::error_already_set();
    }
    if (got == n)
      break;
    items.append(item);
  }
  PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
  throw py::error_already_set();
}

} // namespace tavol::bind

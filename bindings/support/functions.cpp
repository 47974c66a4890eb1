#include "support/functions.hpp"

#include <structmember.h>

#include <cstddef>
#include <vector>

#include "support/binder_internals.hpp"
#include "support/classes.hpp"
#include "support/conversions.hpp"

namespace tavol::bind {
namespace {

// The native function: a callable that forwards every call, unchanged, to the
// function it wraps, and carries the attributes a Python function has.
struct NativeFunction {
  PyObject_HEAD vectorcallfunc vectorcall;
  PyObject *inner;
  PyObject *name;
  PyObject *qualname;
  PyObject *module;
  PyObject *doc;
  PyObject *reduce_path;
  PyObject *signature;   // made on first use: importing inspect is not free
  PyObject *annotations; // made on first use
  PyObject *dict;
  PyObject *weakrefs;
  bool method;
};

NativeFunction *as_native(PyObject *o) { return reinterpret_cast<NativeFunction *>(o); }

// A method may be given `self` by keyword, as a Python function may:
// `Class.method(self=obj, x=1)` becomes `inner(obj, x=1)`.
PyObject *call_with_keyword_self(NativeFunction *f, PyObject *const *args, PyObject *kwnames) {
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  Py_ssize_t at = 0;
  while (at < nkw && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, at), "self") != 0)
    ++at;
  if (at == nkw)
    return PyObject_Vectorcall(f->inner, args, 0, kwnames);
  std::vector<PyObject *> moved{args[at]};
  PyObject *rest = PyTuple_New(nkw - 1);
  if (!rest)
    return nullptr;
  for (Py_ssize_t k = 0, j = 0; k < nkw; ++k) {
    if (k == at)
      continue;
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    Py_INCREF(key);
    PyTuple_SET_ITEM(rest, j++, key);
    moved.push_back(args[k]);
  }
  PyObject *result = PyObject_Vectorcall(f->inner, moved.data(), 1, nkw > 1 ? rest : nullptr);
  Py_DECREF(rest);
  return result;
}

PyObject *native_call(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
  NativeFunction *f = as_native(callable);
  if (f->method && kwnames && PyVectorcall_NARGS(nargsf) == 0)
    return call_with_keyword_self(f, args, kwnames);
  return PyObject_Vectorcall(f->inner, args, nargsf, kwnames);
}

// Read through an instance, a method binds to it; read through the class it
// is the function itself (as a Python function is).
PyObject *native_get(PyObject *self, PyObject *obj, PyObject *) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

PyObject *native_repr(PyObject *self) {
  return PyUnicode_FromFormat("<function %S at %p>", as_native(self)->qualname, self);
}

// pickle stores a global: the module and this dotted path in it.
PyObject *native_reduce(PyObject *self, PyObject *) {
  PyObject *path = as_native(self)->reduce_path;
  Py_INCREF(path);
  return path;
}

py::object make_signature(NativeFunction *f) {
  py::handle inner = f->inner;
  if (is_binder_function(inner))
    return binder_signature(inner);
  py::object sig = py::module_::import("inspect").attr("signature")(inner);
  if (!f->method)
    return sig;
  // A C method's `self` is positional-only; ours also takes the keyword.
  py::list parameters(sig.attr("parameters").attr("values")());
  if (parameters.empty() || !py::str(parameters[0].attr("name")).equal(py::str("self")))
    return sig;
  py::object kind = py::module_::import("inspect").attr("Parameter").attr("POSITIONAL_OR_KEYWORD");
  parameters[0] = parameters[0].attr("replace")(py::arg("kind") = kind);
  return sig.attr("replace")(py::arg("parameters") = parameters);
}

PyObject *get_signature(PyObject *self, void *) {
  NativeFunction *f = as_native(self);
  if (!f->signature) {
    try {
      f->signature = make_signature(f).release().ptr();
    } catch (py::error_already_set &e) {
      e.restore();
      return nullptr;
    }
  }
  Py_INCREF(f->signature);
  return f->signature;
}

// A function whose C++ parameters say less than its Python ones (a lambda
// over py::args that refuses keywords itself) is given its signature.
int set_signature(PyObject *self, PyObject *value, void *) {
  Py_XINCREF(value);
  Py_XSETREF(as_native(self)->signature, value);
  return 0;
}

PyObject *get_annotations(PyObject *self, void *) {
  NativeFunction *f = as_native(self);
  if (!f->annotations && !(f->annotations = PyDict_New()))
    return nullptr;
  Py_INCREF(f->annotations);
  return f->annotations;
}

int set_annotations(PyObject *self, PyObject *value, void *) {
  if (value == nullptr || !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_INCREF(value);
  Py_XSETREF(as_native(self)->annotations, value);
  return 0;
}

int native_traverse(PyObject *self, visitproc visit, void *arg) {
  NativeFunction *f = as_native(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->inner);
  Py_VISIT(f->doc);
  Py_VISIT(f->signature);
  Py_VISIT(f->annotations);
  Py_VISIT(f->dict);
  return 0;
}

int native_clear(PyObject *self) {
  NativeFunction *f = as_native(self);
  Py_CLEAR(f->inner);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->reduce_path);
  Py_CLEAR(f->signature);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
  return 0;
}

void native_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_native(self)->weakrefs)
    PyObject_ClearWeakRefs(self);
  native_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef native_methods[] = {
    {"__reduce__", native_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef native_members[] = {
    {"__name__", T_OBJECT, offsetof(NativeFunction, name), 0, nullptr},
    {"__qualname__", T_OBJECT, offsetof(NativeFunction, qualname), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(NativeFunction, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef native_getset[] = {
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot native_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(native_get)},
    {Py_tp_repr, reinterpret_cast<void *>(native_repr)},
    {Py_tp_traverse, reinterpret_cast<void *>(native_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(native_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(native_dealloc)},
    {Py_tp_methods, native_methods},
    {Py_tp_members, native_members},
    {Py_tp_getset, native_getset},
    {0, nullptr},
};

// METHOD_DESCRIPTOR lets `obj.method(...)` call straight through, without a
// bound method object, as for Python functions.
PyType_Spec native_spec = {
    "tavol.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR,
    native_slots,
};

PyTypeObject *native_type() {
  static PyTypeObject *type = [] {
    auto *made = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&native_spec));
    if (!made)
      throw py::error_already_set();
    return made;
  }();
  return type;
}

bool is_native(py::handle o) { return Py_TYPE(o.ptr()) == native_type(); }

// "_Class__name" -> "__name", as Python's name mangling stored it.
std::string unmangled(const std::string &class_name, const std::string &name) {
  const std::size_t lead = class_name.find_first_not_of('_');
  const std::string prefix =
      "_" + (lead == std::string::npos ? std::string() : class_name.substr(lead)) + "__";
  const bool dunder = name.size() >= 2 && name.compare(name.size() - 2, 2, "__") == 0;
  if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 && !dunder)
    return name.substr(prefix.size() - 2);
  return name;
}

py::object staticmethod(py::handle fn) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyStaticMethod_Type))(fn);
}

// The native face of a method of `cls`: stored under `name`, named as Python
// names it.
py::object method_face(const py::object &cls, const std::string &name, py::handle fn) {
  const std::string owner = text(cls.attr("__qualname__"));
  const std::string plain = unmangled(text(cls.attr("__name__")), name);
  return native_function(fn, text(cls.attr("__module__")), owner + "." + plain, true,
                         owner + "." + name);
}

void finish_class(const py::object &cls, const py::dict &faces) {
  const std::string owner = text(cls.attr("__qualname__"));
  const std::string module = text(cls.attr("__module__"));
  py::list items(cls.attr("__dict__").attr("items")());
  for (py::handle item : items) {
    const std::string name = text(item[py::int_(0)]);
    py::object value = item[py::int_(1)];
    if (name.rfind("_pybind11", 0) == 0) // the binder's own hooks
      continue;
    if (PyObject_TypeCheck(value.ptr(), &PyStaticMethod_Type)) {
      py::object fn = value.attr("__func__");
      if (faces.contains(fn))
        py::setattr(cls, name.c_str(), staticmethod(faces[fn]));
      else if (is_binder_function(fn))
        py::setattr(cls, name.c_str(),
                    staticmethod(native_function(fn, module, owner + "." + name, false)));
    } else if (PyInstanceMethod_Check(value.ptr())) {
      py::handle fn = PyInstanceMethod_GET_FUNCTION(value.ptr());
      if (faces.contains(fn))
        py::setattr(cls, name.c_str(), faces[fn]);
      else if (is_binder_function(fn) || is_native(fn))
        set_method(cls, name.c_str(), py::reinterpret_borrow<py::object>(fn));
    } else if (PyObject_TypeCheck(value.ptr(), &PyMethodDescr_Type)) {
      py::setattr(cls, name.c_str(), method_face(cls, name, value));
    } else if (PyCFunction_Check(value.ptr()) && faces.contains(value)) {
      // a module function stored in the class as it is: it never binds
      py::setattr(cls, name.c_str(), staticmethod(faces[value]));
    }
  }
}

} // namespace

py::object native_function(py::handle fn, const std::string &module, const std::string &qualname,
                           bool method, const std::string &reduce_path) {
  PyTypeObject *type = native_type();
  auto *f = PyObject_GC_New(NativeFunction, type);
  if (!f)
    throw py::error_already_set();
  f->vectorcall = native_call;
  f->inner = f->name = f->qualname = f->module = f->doc = f->reduce_path = nullptr;
  f->signature = f->annotations = f->dict = f->weakrefs = nullptr;
  f->method = method;
  auto result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(f));
  f->inner = fn.inc_ref().ptr();
  const std::size_t dot = qualname.rfind('.');
  f->name = py::str(dot == std::string::npos ? qualname : qualname.substr(dot + 1)).release().ptr();
  f->qualname = py::str(qualname).release().ptr();
  f->module = py::str(module).release().ptr();
  f->reduce_path = py::str(reduce_path.empty() ? qualname : reduce_path).release().ptr();
  // pybind11 writes a signature line into __doc__; the docstring itself is the record's.
  if (is_binder_function(fn))
    f->doc = binder_docstring(fn).release().ptr();
  else
    f->doc = py::getattr(fn, "__doc__", py::none()).release().ptr();
  PyObject_GC_Track(f);
  return result;
}

void finish_module(py::module_ &m) {
  const std::string module = text(m.attr("__name__"));
  py::dict faces; // function made here -> its native face
  py::list items(m.attr("__dict__").attr("items")());
  for (py::handle item : items) {
    py::object value = item[py::int_(1)];
    if (!binder_function_defined_in(value, m))
      continue;
    if (!faces.contains(value))
      faces[value] = native_function(value, module, binder_function_name(value), false);
    m.attr(item[py::int_(0)]) = faces[value];
  }
  for (py::handle item : items) {
    py::object value = item[py::int_(1)];
    if (PyType_Check(value.ptr()) && text(value.attr("__module__")) == module)
      finish_class(value, faces);
  }
}

void set_method(const py::object &cls, const char *name, const py::object &fn) {
  py::handle function = fn;
  if (PyInstanceMethod_Check(function.ptr()))
    function = PyInstanceMethod_GET_FUNCTION(function.ptr());
  treat_as_plain_method(function);
  if (is_native(function))
    function = as_native(function.ptr())->inner;
  py::setattr(cls, name, method_face(cls, name, function));
}

void add_static_method(py::module_ &, py::object cls, const char *name, py::cpp_function fn) {
  const std::string qualname = text(cls.attr("__qualname__")) + "." + name;
  py::setattr(cls, name,
              staticmethod(native_function(fn, text(cls.attr("__module__")), qualname, false)));
}

} // namespace tavol::bind

#include "python/python.hpp"

#include <cstring>

namespace corvalink::py {

namespace {

// The short name of value's type (type(value).__name__).
Ref type_name(PyObject* value) noexcept { return Ref::steal(PyType_GetName(Py_TYPE(value))); }

}  // namespace

void raise_wrong_type(PyObject* value, const char* expected) noexcept {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  Ref name = type_name(value);
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

void add_processing_note(const char* name) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", name));
  if (note) {
    Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
    if (!r) {
      // The note could not be added; keep the original exception.
      PyErr_Clear();
    }
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exc);
}

int strict_bool(PyObject* value) noexcept {
  if (PyBool_Check(value)) return value == Py_True;
  PyTypeObject* type = Py_TYPE(value);
  Ref module = Ref::steal(PyType_GetModuleName(type));
  if (!module) return -1;
  if (PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
    Ref name = type_name(value);
    if (!name) return -1;
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0 ||
        PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0) {
      if (type->tp_as_number && type->tp_as_number->nb_bool) return type->tp_as_number->nb_bool(value);
      PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", name.get());
      return -1;
    }
  }
  raise_wrong_type(value, "bool");
  return -1;
}

std::string repr_or_unprintable(PyObject* value) {
  Ref r = Ref::steal(PyObject_Repr(value));
  if (r) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(r.get(), &n);
    if (s) return std::string(s, static_cast<std::size_t>(n));
  }
  PyErr_Clear();
  return "<unprintable>";
}

bool to_string(PyObject* value, std::string& out, const char* expected) noexcept {
  if (!PyUnicode_Check(value)) {
    raise_wrong_type(value, expected);
    return false;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(value, &n);
  if (!s) return false;
  try {
    out.assign(s, static_cast<std::size_t>(n));
  } catch (...) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

int add_attribute(PyObject* module, const char* name, PyObject* value) noexcept {
  if (!value) return -1;
  PyObject* raw = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &raw) < 0) return -1;
  Ref all = Ref::steal(raw);
  if (!all) {
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return -1;
  }
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key) return -1;
  if (PyList_Append(all.get(), key.get()) < 0) {
    PyErr_Clear();
    raise_panic("could not append __name__ to __all__");
    return -1;
  }
  return PyObject_SetAttr(module, key.get(), value);
}

int add_function(PyObject* module, PyMethodDef* def) noexcept {
  Ref modname = Ref::steal(PyModule_GetNameObject(module));
  if (!modname) return -1;
  Ref fn = Ref::steal(PyCMethod_New(def, module, modname.get(), nullptr));
  if (!fn) return -1;
  Ref name = Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
  if (!name) return -1;
  if (!PyUnicode_Check(name.get())) {
    raise_wrong_type(name.get(), "str");
    return -1;
  }
  const char* s = PyUnicode_AsUTF8(name.get());
  if (!s) return -1;
  return add_attribute(module, s, fn.get());
}

int add_class(PyObject* module, PyObject* type) noexcept {
  if (!type) return -1;
  Ref name = Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
  if (!name) return -1;
  const char* s = PyUnicode_AsUTF8(name.get());
  if (!s) return -1;
  return add_attribute(module, s, type);
}

}  // namespace corvalink::py

// RS485Settings: an immutable value made from its five arguments, which it
// keeps as the engine's Rs485Settings. It compares and hashes as the tuple of
// its fields, and copy.replace and pickle make it anew through the class.

#include "python/rs485.hpp"

#include <array>
#include <cmath>
#include <format>
#include <new>
#include <string>

#include "python/serial_settings.hpp"

namespace corvalink {

namespace rs485 {

namespace {

struct SettingsObject {
  PyObject_HEAD
  // Written by tp_new before the object is published, never changed after:
  // reading it needs no lock.
  Rs485Settings value;
};

const Rs485Settings& value_of(PyObject* self) noexcept { return reinterpret_cast<SettingsObject*>(self)->value; }

constexpr std::array<const char*, 5> kNames = {"rts_level_for_tx", "rts_level_for_rx", "loopback",
                                               "delay_before_tx", "delay_before_rx"};

bool invalid_delay(std::string_view text) noexcept {
  try {
    py::Ref message = py::str(std::format("Not a valid delay: {}", text));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  } catch (...) {
    PyErr_NoMemory();
  }
  return false;
}

// None, or seconds as an int or a float (or anything with a float
// conversion) that a driver can hold: not negative, and at most 2^32 - 1
// milliseconds once rounded up (rs485_delay_milliseconds). The kind is kept,
// as for timeouts.
bool convert_delay(PyObject* value, TimeoutValue& out) noexcept {
  if (!serial::convert_seconds(value, out, "delay")) return false;
  if (rs485_delay_milliseconds(out)) return true;
  try {
    if (out.kind() == TimeoutValue::Kind::Integer) return invalid_delay(std::to_string(out.as_integer()));
    // An int beyond 64 bits arrives as a float: named as it was given.
    if (PyLong_Check(value)) return invalid_delay(py::repr_or_unprintable(value));
    return invalid_delay(serial::short_float(out.as_float()));
  } catch (...) {
    PyErr_NoMemory();
    return false;
  }
}

py::Ref field(const Rs485Settings& v, std::size_t i) noexcept {
  auto flag = [](bool b) { return py::Ref::borrow(b ? Py_True : Py_False); };
  switch (i) {
    case 0: return flag(v.rts_level_for_tx);
    case 1: return flag(v.rts_level_for_rx);
    case 2: return flag(v.loopback);
    case 3: return serial::timeout_to_python(v.delay_before_tx);
    default: return serial::timeout_to_python(v.delay_before_rx);
  }
}

py::Ref fields(const Rs485Settings& v) noexcept {
  py::Ref tuple = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kNames.size())));
  if (!tuple) return {};
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    py::Ref item = field(v, i);
    if (!item) return {};
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return tuple;
}

PyObject* make(PyTypeObject* type, const Rs485Settings& v) noexcept {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&reinterpret_cast<SettingsObject*>(self)->value) Rs485Settings(v);
  return self;
}

PyObject* settings_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&]() -> PyObject* {
    PyObject* a[kNames.size()];
    if (!serial::bind_args_tuple("RS485Settings", kNames, 0, false, args, kwargs, a)) return nullptr;
    Rs485Settings v;
    bool* flags[] = {&v.rts_level_for_tx, &v.rts_level_for_rx, &v.loopback};
    TimeoutValue* delays[] = {&v.delay_before_tx, &v.delay_before_rx};
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      if (!a[i]) continue;
      const bool ok = i < 3 ? serial::convert_truth(a[i], *flags[i]) : convert_delay(a[i], *delays[i - 3]);
      if (!ok) {
        py::add_processing_note(kNames[i]);
        return nullptr;
      }
    }
    return make(type, v);
  });
}

PyObject* get_field(PyObject* self, void* closure) noexcept {
  return field(value_of(self), reinterpret_cast<std::size_t>(closure)).release();
}

PyObject* settings_repr(PyObject* self) noexcept {
  return py::guard([&]() -> PyObject* {
    py::Ref f = fields(value_of(self));
    if (!f) return nullptr;
    PyObject* const* v = &PyTuple_GET_ITEM(f.get(), 0);
    return PyUnicode_FromFormat(
        "RS485Settings(rts_level_for_tx=%R, rts_level_for_rx=%R, loopback=%R, delay_before_tx=%R, "
        "delay_before_rx=%R)",
        v[0], v[1], v[2], v[3], v[4]);
  });
}

PyObject* settings_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return py::guard([&]() -> PyObject* {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
    py::Ref mine = fields(value_of(self));
    py::Ref theirs = fields(value_of(other));
    if (!mine || !theirs) return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), op);
  });
}

Py_hash_t settings_hash(PyObject* self) noexcept {
  return py::guard<Py_hash_t>(-1, [&]() -> Py_hash_t {
    py::Ref f = fields(value_of(self));
    return f ? PyObject_Hash(f.get()) : -1;
  });
}

PyObject* m_reduce(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    py::Ref f = fields(value_of(self));
    if (!f) return nullptr;
    return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), f.get());
  });
}

// copy.replace(settings, **changes): the class called with the fields, changed.
PyObject* m_replace(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&]() -> PyObject* {
    if (PyTuple_GET_SIZE(args) != 0) {
      PyErr_Format(PyExc_TypeError, "RS485Settings.__replace__() takes 1 positional argument but %zd were given",
                   PyTuple_GET_SIZE(args) + 1);
      return nullptr;
    }
    py::Ref merged = py::Ref::steal(PyDict_New());
    if (!merged) return nullptr;
    const Rs485Settings& v = value_of(self);
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      py::Ref item = field(v, i);
      if (!item || PyDict_SetItemString(merged.get(), kNames[i], item.get()) < 0) return nullptr;
    }
    if (kwargs && PyDict_Update(merged.get(), kwargs) < 0) return nullptr;
    py::Ref empty = py::Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject*>(Py_TYPE(self)), empty.get(), merged.get());
  });
}

PyGetSetDef settings_getset[] = {
    {"rts_level_for_tx", get_field, nullptr, "RTS level while sending.", reinterpret_cast<void*>(0)},
    {"rts_level_for_rx", get_field, nullptr, "RTS level when not sending.", reinterpret_cast<void*>(1)},
    {"loopback", get_field, nullptr, "Whether the receiver stays on while sending.", reinterpret_cast<void*>(2)},
    {"delay_before_tx", get_field, nullptr, "Seconds from setting RTS to sending, or None.",
     reinterpret_cast<void*>(3)},
    {"delay_before_rx", get_field, nullptr, "Seconds from the end of sending to releasing RTS, or None.",
     reinterpret_cast<void*>(4)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef settings_methods[] = {
    {"__reduce__", m_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__replace__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m_replace)),
     METH_VARARGS | METH_KEYWORDS, "__replace__($self, /, **changes)\n--\n\nA copy with the given fields changed."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot settings_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "RS485Settings(rts_level_for_tx=True, rts_level_for_rx=False, loopback=False, "
                    "delay_before_tx=None, delay_before_rx=None)\n--\n\n"
                    "RS-485 direction control for `SerialBase.rs485_mode`: the RTS level while sending and "
                    "after it, whether the receiver stays on while sending, and the delays (seconds, applied "
                    "in whole milliseconds) before sending and before releasing the line.")},
    {Py_tp_new, reinterpret_cast<void*>(settings_new)},
    {Py_tp_repr, reinterpret_cast<void*>(settings_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(settings_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(settings_hash)},
    {Py_tp_getset, settings_getset},
    {Py_tp_methods, settings_methods},
    {0, nullptr},
};

PyType_Spec settings_spec = {
    "corvalink.rs485.RS485Settings",
    static_cast<int>(sizeof(SettingsObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    settings_slots,
};

py::OnceCell settings_cell;

}  // namespace

PyObject* settings_type() noexcept {
  return settings_cell.get_or_init([] { return PyType_FromSpec(&settings_spec); });
}

bool from_python(PyObject* value, std::optional<Rs485Settings>& out) noexcept {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  PyObject* cls = settings_type();
  if (!cls) return false;
  if (Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(cls)) {
    py::raise_wrong_type(value, "RS485Settings");
    return false;
  }
  out = value_of(value);
  return true;
}

py::Ref to_python(const std::optional<Rs485Settings>& mode) noexcept {
  if (!mode) return py::Ref::borrow(Py_None);
  PyObject* cls = settings_type();
  if (!cls) return {};
  return py::Ref::steal(make(reinterpret_cast<PyTypeObject*>(cls), *mode));
}

}  // namespace rs485

int add_rs485_members(PyObject* module) { return py::add_class(module, rs485::settings_type()); }

}  // namespace corvalink

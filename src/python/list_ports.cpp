// ListPortInfo and comports(): the Python face of the port listing.
//
// A ListPortInfo object holds one SharedPortRecord. Python may read and change
// it from several threads at once; each access takes the record's short lock
// only to copy out, compare or store plain C++ data, and builds or converts
// Python objects outside it, so no Python code runs under the lock and a
// reader never fails because a writer is busy.

#include "listing/port_info.hpp"

#include <cstdint>
#include <format>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "python/python.hpp"
#ifdef _WIN32
#include "listing/windows/list_ports_windows.hpp"
#endif

namespace corvalink {

namespace {

using ports::PortRecord;

struct PortInfoObject {
  PyObject_HEAD
  ports::SharedPortRecord record;
};

PortInfoObject* as_info(PyObject* o) noexcept { return reinterpret_cast<PortInfoObject*>(o); }
const ports::SharedPortRecord& record_of(PyObject* o) noexcept { return as_info(o)->record; }

py::Ref optional_str(const std::optional<std::string>& s) noexcept {
  if (!s) return py::Ref::borrow(Py_None);
  return py::str(*s);
}

py::Ref optional_u16(const std::optional<std::uint16_t>& v) noexcept {
  if (!v) return py::Ref::borrow(Py_None);
  return py::Ref::steal(PyLong_FromLong(*v));
}

py::OnceCell port_info_cell;
PyObject* port_info_type() noexcept;

// A new ListPortInfo of the given type holding record.
PyObject* new_port_info(PyTypeObject* type, PortRecord record) noexcept {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&as_info(self)->record) ports::SharedPortRecord(std::move(record));
  return self;
}

// --- construction and destruction ---

PyObject* port_info_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&]() -> PyObject* {
    static const char* kwlist[] = {"device", "skip_link_detection", nullptr};
    PyObject* device_arg = nullptr;
    PyObject* skip_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:ListPortInfo", kwlist, &device_arg,
                                     &skip_arg))
      return nullptr;
    std::string device;
    if (!py::to_string(device_arg, device)) {
      py::add_processing_note("device");
      return nullptr;
    }
    // Accepted for compatibility; Windows device names have no links to detect.
    if (skip_arg && py::strict_bool(skip_arg) < 0) {
      py::add_processing_note("skip_link_detection");
      return nullptr;
    }
    return new_port_info(type, PortRecord::for_device(std::move(device)));
  });
}

void port_info_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  as_info(self)->record.~SharedPortRecord();
  type->tp_free(self);
  Py_DECREF(type);
}

// --- attributes ---

enum class Field : std::intptr_t {
  device,
  name,
  description,
  hwid,
  vid,
  pid,
  serial_number,
  location,
  manufacturer,
  product,
  interface,
};

constexpr const char* field_name(Field f) noexcept {
  constexpr const char* names[] = {"device",        "name",     "description",  "hwid",
                                   "vid",           "pid",      "serial_number", "location",
                                   "manufacturer",  "product",  "interface"};
  return names[static_cast<std::intptr_t>(f)];
}

Field field_of(void* closure) noexcept { return static_cast<Field>(reinterpret_cast<std::intptr_t>(closure)); }

enum class Kind { Text, OptionalText, Number };

Kind kind_of(Field f) noexcept {
  switch (f) {
    case Field::device:
    case Field::name:
    case Field::description:
    case Field::hwid: return Kind::Text;
    case Field::vid:
    case Field::pid: return Kind::Number;
    default: return Kind::OptionalText;
  }
}

// The field's member in r (const or not); null when f is of another kind.
template <class R>
auto text_field(R& r, Field f) noexcept -> decltype(&r.device) {
  switch (f) {
    case Field::device: return &r.device;
    case Field::name: return &r.name;
    case Field::description: return &r.description;
    case Field::hwid: return &r.hwid;
    default: return nullptr;
  }
}

template <class R>
auto optional_text_field(R& r, Field f) noexcept -> decltype(&r.product) {
  switch (f) {
    case Field::serial_number: return &r.serial_number;
    case Field::location: return &r.location;
    case Field::manufacturer: return &r.manufacturer;
    case Field::product: return &r.product;
    case Field::interface: return &r.interface;
    default: return nullptr;
  }
}

template <class R>
auto number_field(R& r, Field f) noexcept -> decltype(&r.vid) {
  return f == Field::vid ? &r.vid : &r.pid;
}

PyObject* port_info_get(PyObject* self, void* closure) noexcept {
  return py::guard([&]() -> PyObject* {
    const Field f = field_of(closure);
    const ports::SharedPortRecord& record = record_of(self);
    switch (kind_of(f)) {
      case Kind::Text: {
        std::string text = record.read([&](const PortRecord& r) { return *text_field(r, f); });
        return py::str(text).release();
      }
      case Kind::OptionalText: {
        std::optional<std::string> text =
            record.read([&](const PortRecord& r) { return *optional_text_field(r, f); });
        return optional_str(text).release();
      }
      case Kind::Number: break;
    }
    std::optional<std::uint16_t> number = record.read([&](const PortRecord& r) { return *number_field(r, f); });
    return optional_u16(number).release();
  });
}

// A converted setter value.
struct NewValue {
  std::optional<std::string> text;
  std::optional<std::uint16_t> number;
};

bool convert_u16(PyObject* value, std::optional<std::uint16_t>& out) noexcept {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(value, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || v < 0 || v > 0xFFFF) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint16_t>(v);
  return true;
}

int port_info_set(PyObject* self, PyObject* value, void* closure) noexcept {
  return py::guard_int([&]() -> int {
    if (!value) return py::no_deleter();
    Field f = field_of(closure);
    const Kind kind = kind_of(f);
    NewValue v;
    bool converted = true;
    if (kind == Kind::Text) {
      std::string s;
      converted = py::to_string(value, s);
      v.text = std::move(s);
    } else if (kind == Kind::OptionalText) {
      if (value != Py_None) {
        std::string s;
        converted = py::to_string(value, s);
        v.text = std::move(s);
      }
    } else {
      converted = convert_u16(value, v.number);
    }
    if (!converted) {
      py::add_processing_note(field_name(f));
      return -1;
    }
    // The old text is swapped out and freed after the lock is released.
    as_info(self)->record.write([&](PortRecord& r) {
      switch (kind) {
        case Kind::Text: std::swap(*text_field(r, f), *v.text); break;
        case Kind::OptionalText: std::swap(*optional_text_field(r, f), v.text); break;
        case Kind::Number: *number_field(r, f) = v.number; break;
      }
    });
    return 0;
  });
}

#define CORVALINK_FIELD(f, doc) \
  {#f, port_info_get, port_info_set, doc, reinterpret_cast<void*>(static_cast<std::intptr_t>(Field::f))}

PyGetSetDef port_info_getset[] = {
    CORVALINK_FIELD(device, "The name to open the port by: /dev/ttyUSB0, COM3."),
    CORVALINK_FIELD(name, "The short name: the device name without its directory."),
    CORVALINK_FIELD(description, "A human-readable description, or 'n/a'."),
    CORVALINK_FIELD(hwid, "The hardware ID: 'USB VID:PID=... SER=... LOCATION=...' for USB ports, or 'n/a'."),
    CORVALINK_FIELD(vid, "The USB vendor ID, or None."),
    CORVALINK_FIELD(pid, "The USB product ID, or None."),
    CORVALINK_FIELD(serial_number, "The USB serial number, or None."),
    CORVALINK_FIELD(location, "Where the device sits on the USB bus, or None."),
    CORVALINK_FIELD(manufacturer, "The USB manufacturer string, or None."),
    CORVALINK_FIELD(product, "The USB product string, or None."),
    CORVALINK_FIELD(interface, "The USB interface string, or None."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef CORVALINK_FIELD

// --- methods ---

PyObject* usb_description(PyObject* self, PyObject*) noexcept {
  return py::guard([&] {
    std::string text = record_of(self).read([](const PortRecord& r) { return r.usb_description(); });
    return py::str(text).release();
  });
}

PyObject* usb_info(PyObject* self, PyObject*) noexcept {
  return py::guard([&] {
    std::string text = record_of(self).read([](const PortRecord& r) { return r.usb_info(); });
    return py::str(text).release();
  });
}

PyObject* apply_usb_info(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    as_info(self)->record.write([](PortRecord& r) { r.apply_usb_info(); });
    Py_RETURN_NONE;
  });
}

PyMethodDef port_info_methods[] = {
    {"usb_description", usb_description, METH_NOARGS,
     "usb_description($self)\n--\n\nThe product string, with the interface after ' - ' when there is one; "
     "the name when there is neither."},
    {"usb_info", usb_info, METH_NOARGS,
     "usb_info($self)\n--\n\nThe USB hardware ID: 'USB VID:PID=vvvv:pppp', then ' SER=' and ' LOCATION=' "
     "when known."},
    {"apply_usb_info", apply_usb_info, METH_NOARGS,
     "apply_usb_info($self)\n--\n\nSets `description` to `usb_description()` and `hwid` to `usb_info()`."},
    {nullptr, nullptr, 0, nullptr},
};

// --- protocols ---

PyObject* port_info_str(PyObject* self) noexcept {
  return py::guard([&] {
    std::string text =
        record_of(self).read([](const PortRecord& r) { return std::format("{} - {}", r.device, r.description); });
    return py::str(text).release();
  });
}

PyObject* port_info_item(PyObject* self, PyObject* index) noexcept {
  return py::guard([&]() -> PyObject* {
    long long i = PyLong_AsLongLong(index);
    if (i == -1 && PyErr_Occurred()) {
      py::add_processing_note("index");
      return nullptr;
    }
    if (i < 0 || i > 2) {
      PyErr_SetString(PyExc_IndexError, "list index out of range");
      return nullptr;
    }
    std::string text = record_of(self).read([&](const PortRecord& r) {
      return i == 0 ? r.device : i == 1 ? r.description : r.hwid;
    });
    return py::str(text).release();
  });
}

PyObject* port_info_iter(PyObject* self) noexcept {
  return py::guard([&]() -> PyObject* {
    auto [device, description, hwid] = record_of(self).read(
        [](const PortRecord& r) { return std::tuple(r.device, r.description, r.hwid); });
    py::Ref items = py::Ref::steal(Py_BuildValue(
        "[s#s#s#]", device.data(), static_cast<Py_ssize_t>(device.size()), description.data(),
        static_cast<Py_ssize_t>(description.size()), hwid.data(), static_cast<Py_ssize_t>(hwid.size())));
    if (!items) return nullptr;
    return PyObject_GetIter(items.get());
  });
}

Py_hash_t port_info_hash(PyObject* self) noexcept {
  return py::guard<Py_hash_t>(-1, [&]() -> Py_hash_t {
    return static_cast<Py_hash_t>(record_of(self).hash());
  });
}

PyObject* raise_unorderable(PyObject* other) noexcept {
  py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(other)));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "unorderable types: ListPortInfo() and %U", name.get());
  return nullptr;
}

PyObject* port_info_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return py::guard([&]() -> PyObject* {
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(port_info_type());
    if (!cls) return nullptr;
    switch (op) {
      case Py_EQ: {
        if (!PyObject_TypeCheck(other, cls)) Py_RETURN_FALSE;
        return PyBool_FromLong(ports::same_device(record_of(self), record_of(other)));
      }
      case Py_NE: {
        py::Ref eq = py::Ref::steal(PyObject_RichCompare(self, other, Py_EQ));
        if (!eq) return nullptr;
        int t = PyObject_IsTrue(eq.get());
        if (t < 0) return nullptr;
        return PyBool_FromLong(!t);
      }
      case Py_LT: {
        if (!PyObject_TypeCheck(other, cls)) return raise_unorderable(other);
        return PyBool_FromLong(ports::device_less(record_of(self), record_of(other)));
      }
      default: Py_RETURN_NOTIMPLEMENTED;
    }
  });
}

const char kPortInfoDoc[] =
    "ListPortInfo(device, skip_link_detection=False)\n--\n\n"
    "Describes one serial port, with the attributes that Python serial-port listings conventionally carry.\n\n"
    "It also reads as the sequence (device, description, hwid), sorts by the natural order of device names "
    "(ttyUSB2 before ttyUSB10), and compares and hashes by device. `skip_link_detection` is accepted and "
    "has no effect.";

PyType_Slot port_info_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(port_info_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(port_info_dealloc)},
    {Py_tp_doc, const_cast<char*>(kPortInfoDoc)},
    {Py_tp_getset, port_info_getset},
    {Py_tp_methods, port_info_methods},
    {Py_tp_str, reinterpret_cast<void*>(port_info_str)},
    {Py_tp_hash, reinterpret_cast<void*>(port_info_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(port_info_richcompare)},
    {Py_tp_iter, reinterpret_cast<void*>(port_info_iter)},
    {Py_mp_subscript, reinterpret_cast<void*>(port_info_item)},
    {0, nullptr},
};

PyType_Spec port_info_spec = {
    "corvalink.tools.list_ports.ListPortInfo",
    static_cast<int>(sizeof(PortInfoObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    port_info_slots,
};

PyObject* port_info_type() noexcept {
  return port_info_cell.get_or_init([] { return PyType_FromSpec(&port_info_spec); });
}

// --- comports ---

// Detaches the thread from the interpreter for the scope.
class Detached {
 public:
  Detached() noexcept : state_(PyEval_SaveThread()) {}
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;
  ~Detached() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

PyObject* port_list(std::vector<PortRecord> records) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(port_info_type());
  if (!type) return nullptr;
  py::Ref list = py::Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (PortRecord& r : records) {
    py::Ref info = py::Ref::steal(new_port_info(type, std::move(r)));
    if (!info || PyList_Append(list.get(), info.get()) < 0) return nullptr;
  }
  return list.release();
}

#ifdef _WIN32
PyObject* list_machine_ports() {
  Result<std::vector<PortRecord>> records;
  {
    Detached detached;
    records = ports::list_windows_ports(ports::win32::system_api());
  }
  if (!records) {
    py::raise(records.error());
    return nullptr;
  }
  return port_list(std::move(*records));
}
#else
PyObject* list_ports_from(const std::filesystem::path& sysfs_root, const std::filesystem::path& dev_root) {
  std::vector<PortRecord> records;
  {
    Detached detached;
    records = ports::enumerate_sysfs(sysfs_root, dev_root);
  }
  return port_list(std::move(records));
}

PyObject* list_machine_ports() { return list_ports_from("/sys", "/dev"); }
#endif

PyObject* comports(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&]() -> PyObject* {
    static const char* kwlist[] = {"include_links", nullptr};
    PyObject* include_links = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:comports", kwlist, &include_links))
      return nullptr;
    // Accepted for compatibility; the listing is the same either way.
    if (include_links && py::strict_bool(include_links) < 0) {
      py::add_processing_note("include_links");
      return nullptr;
    }
    return list_machine_ports();
  });
}

PyMethodDef comports_def = {"comports", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(comports)),
                            METH_VARARGS | METH_KEYWORDS,
                            "comports(include_links=False)\n--\n\n"
                            "Returns a `ListPortInfo` for each serial port of this machine. `include_links` is "
                            "accepted and has no effect: the listing is the same either way."};

#ifndef _WIN32
// The listing of comports() for another sysfs tree and /dev directory; used
// by the tests with a tree they build.
PyObject* comports_from(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&]() -> PyObject* {
    static const char* kwlist[] = {"sysfs_root", "dev_root", nullptr};
    PyObject* sysfs_arg = nullptr;
    PyObject* dev_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_comports_from", kwlist, &sysfs_arg,
                                     &dev_arg))
      return nullptr;
    std::string paths[2];
    PyObject* given[2] = {sysfs_arg, dev_arg};
    for (int k = 0; k < 2; ++k) {
      py::Ref fs_path = py::Ref::steal(PyOS_FSPath(given[k]));
      if (!fs_path || !py::to_string(fs_path.get(), paths[k])) {
        py::add_processing_note(kwlist[k]);
        return nullptr;
      }
    }
    return list_ports_from(paths[0], paths[1]);
  });
}

PyMethodDef comports_from_def = {
    "_comports_from", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(comports_from)),
    METH_VARARGS | METH_KEYWORDS,
    "_comports_from(sysfs_root, dev_root)\n--\n\n"
    "comports() over another sysfs tree, naming devices under dev_root."};
#endif

}  // namespace

int add_list_ports_members(PyObject* module) {
  if (py::add_class(module, port_info_type()) < 0) return -1;
  if (py::add_function(module, &comports_def) < 0) return -1;
#ifdef _WIN32
  return 0;
#else
  // Private: set directly so that it stays out of __all__.
  py::Ref modname = py::Ref::steal(PyModule_GetNameObject(module));
  if (!modname) return -1;
  py::Ref helper = py::Ref::steal(PyCMethod_New(&comports_from_def, module, modname.get(), nullptr));
  if (!helper) return -1;
  return PyObject_SetAttrString(module, "_comports_from", helper.get());
#endif
}

}  // namespace corvalink

// SerialBase (construction, settings and control-line properties, open and
// close), the blocking Serial (data-moving methods through run_blocking) and
// serial_for_url.

#include "python/serial.hpp"

#include <array>
#include <cstring>
#include <format>
#include <limits>
#include <new>

#include "backends/open.hpp"
#include "python/errors_python.hpp"
#include "python/future.hpp"
#include "engine/port.hpp"
#include "python/rs485.hpp"

namespace corvalink::serial {

namespace {

// Raises the error of a Status / Result, or does nothing.
template <class T>
bool check(const Result<T>& r) noexcept {
  if (r) return true;
  py::raise(r.error());
  return false;
}

inline PyObject* none() noexcept { Py_RETURN_NONE; }
inline PyObject* boolean(bool b) noexcept { return Py_NewRef(b ? Py_True : Py_False); }

// A conversion that failed gets the note for its parameter.
inline bool noted(bool ok, const char* name) noexcept {
  if (!ok) py::add_processing_note(name);
  return ok;
}

// --- integer arguments ---

bool to_u64(PyObject* value, std::uint64_t& out) noexcept {
  py::Ref index = py::Ref::steal(PyNumber_Index(value));
  if (!index) return false;
  unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = n;
  return true;
}

bool to_i64(PyObject* value, std::int64_t& out) noexcept {
  py::Ref index = py::Ref::steal(PyNumber_Index(value));
  if (!index) return false;
  long long n = PyLong_AsLongLong(index.get());
  if (n == -1 && PyErr_Occurred()) return false;
  out = n;
  return true;
}

bool to_u32(PyObject* value, std::uint32_t& out) noexcept {
  std::uint64_t n = 0;
  if (!to_u64(value, n)) return false;
  if (n > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C unsigned int");
    return false;
  }
  out = static_cast<std::uint32_t>(n);
  return true;
}

bool optional_port_name(PyObject* value, std::optional<std::string>& out) noexcept {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  std::string s;
  if (!py::to_string(value, s, "str")) return false;
  out = std::move(s);
  return true;
}

py::Ref port_name_to_python(const std::optional<std::string>& name) noexcept {
  if (!name) return py::Ref::borrow(Py_None);
  return py::Ref::steal(PyUnicode_DecodeUTF8(name->data(), static_cast<Py_ssize_t>(name->size()), "surrogatepass"));
}

// The display name of a method for argument errors: "{type}.{name}".
std::string method_name(PyObject* self, const char* name) {
  py::Ref type_name = py::Ref::steal(PyType_GetName(Py_TYPE(self)));
  const char* t = type_name ? PyUnicode_AsUTF8(type_name.get()) : nullptr;
  if (!t) {
    PyErr_Clear();
    t = "Serial";
  }
  return std::format("{}.{}", t, name);
}

// ===========================================================================
// SerialBase

PyObject* m_open(PyObject* self, PyObject*) noexcept;

inline std::mutex& lifecycle_of(PyObject* self) noexcept { return reinterpret_cast<SerialObject*>(self)->lifecycle; }

// After an open: one RuntimeWarning naming each setting the device did not
// keep (the port goes on reporting what was asked). A warning that the
// filters turn into an error closes the port again and is raised.
bool warn_not_kept(PyObject* self, const std::vector<SettingNotKept>& not_kept) noexcept {
  if (not_kept.empty()) return true;
  std::string text = std::format("settings not kept by '{}':", port_of(self).port_name().value_or(""));
  for (std::size_t i = 0; i < not_kept.size(); ++i) {
    const SettingNotKept& n = not_kept[i];
    text += std::format("{} {} asked {}, in force {}", i ? ";" : "", n.name, n.asked, n.in_force);
  }
  if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) == 0) return true;
  PortHandle& h = port_of(self);
  detached([&] {
    std::lock_guard lock(lifecycle_of(self));
    h.close();
  });
  return false;
}

void serial_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* obj = reinterpret_cast<SerialObject*>(self);
  if (std::shared_ptr<PortHandle> port = std::move(obj->handle)) {
    // The port goes with its object: operations still running on it (an
    // asynchronous read on a quiet line) end instead of keeping the device
    // open with nobody left to close it. Closing may wait for the device.
    detached([&] {
      port->close();
      port.reset();
    });
  }
  obj->handle.~shared_ptr();
  obj->lifecycle.~mutex();
  type->tp_free(self);
  Py_DECREF(type);
}

int serial_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard_int([&]() -> int {
    static constexpr std::array<const char*, 12> kNames = {
        "port",    "baudrate", "bytesize",      "parity",  "stopbits",           "timeout",
        "xonxoff", "rtscts",   "write_timeout", "dsrdtr",  "inter_byte_timeout", "exclusive"};
    std::string fname = method_name(self, "__init__");
    PyObject* a[12];
    if (!bind_args_tuple(fname.c_str(), kNames, 0, true, args, kwargs, a)) return -1;

    // Stage 1: conversions, each failure noted with its parameter.
    PortSettings next;
    std::optional<std::string> port;
    std::string parity = "N";
    double stopbits = 1.0;
    std::optional<bool> dsrdtr, exclusive;
    if (a[0] && !noted(optional_port_name(a[0], port), "port")) return -1;
    if (a[1] && !noted(convert_baudrate(a[1], next.baudrate), "baudrate")) return -1;
    if (a[2] && !noted(convert_bytesize(a[2], next.bytesize), "bytesize")) return -1;
    if (a[3] && !noted(convert_parity(a[3], parity), "parity")) return -1;
    if (a[4] && !noted(convert_float(a[4], stopbits), "stopbits")) return -1;
    if (a[5] && !noted(convert_timeout(a[5], next.timeout), "timeout")) return -1;
    if (a[6] && !noted(convert_truth(a[6], next.xonxoff), "xonxoff")) return -1;
    if (a[7] && !noted(convert_truth(a[7], next.rtscts), "rtscts")) return -1;
    if (a[8] && !noted(convert_timeout(a[8], next.write_timeout), "write_timeout")) return -1;
    if (a[9] && !noted(convert_optional_truth(a[9], dsrdtr), "dsrdtr")) return -1;
    if (a[10] && !noted(convert_timeout(a[10], next.inter_byte_timeout), "inter_byte_timeout")) return -1;
    if (a[11] && !noted(convert_optional_truth(a[11], exclusive), "exclusive")) return -1;

    // Stage 2: value checks, without notes.
    if (!check_parity(parity, next.parity) || !check_stopbits(stopbits, next.stopbits) ||
        !check_timeout(next.timeout) || !check_timeout(next.write_timeout) ||
        !check_timeout(next.inter_byte_timeout))
      return -1;
    next.dsrdtr = dsrdtr.value_or(next.rtscts);
    next.exclusive = exclusive;

    // Stage 3: apply. It runs as one step for the other threads that open,
    // close or rename this port: `open` is looked up (the ordinary way)
    // beforehand, and when it is SerialBase.open the port is opened inside
    // that step. An `open` of a subclass is Python code, which never runs
    // under the lock: it is called after the step.
    const bool has_port = port.has_value();
    py::Ref open_method;
    bool open_here = false;
    if (has_port) {
      open_method = py::Ref::steal(PyObject_GetAttrString(self, "open"));
      if (!open_method) return -1;
      open_here = PyCFunction_Check(open_method.get()) && PyCFunction_GetFunction(open_method.get()) == &m_open &&
                  PyCFunction_GetSelf(open_method.get()) == self;
    }
    PortHandle& handle = port_of(self);
    bool call_open = false;
    std::vector<SettingNotKept> not_kept;
    Status st = detached([&]() -> Status {
      std::lock_guard lock(lifecycle_of(self));
      if (Status s = handle.update_settings([&](PortSettings& settings) { settings = next; }); !s) return s;
      if (Status s = handle.change_port(std::move(port), &not_kept); !s) return s;
      if (!has_port || handle.is_open()) return {};
      if (open_here) return handle.open(&not_kept);
      call_open = true;
      return {};
    });
    if (!check(st)) return -1;
    if (!warn_not_kept(self, not_kept)) return -1;
    if (!call_open) return 0;
    py::Ref r = py::Ref::steal(PyObject_CallNoArgs(open_method.get()));
    return r ? 0 : -1;
  });
}

PyObject* serial_repr(PyObject* self) noexcept {
  return py::guard([&]() -> PyObject* {
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(self)));
    py::Ref id = py::Ref::steal(PyLong_FromVoidPtr(self));
    if (!name || !id || PyDict_SetItemString(kwargs.get(), "name", name.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "id", id.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "p", self) < 0)
      return nullptr;
    py::Ref fmt = py::str(
        "{name}<id=0x{id:x}, open={p.is_open}>(port={p.portstr!r}, baudrate={p.baudrate!r}, "
        "bytesize={p.bytesize!r}, parity={p.parity!r}, stopbits={p.stopbits!r}, timeout={p.timeout!r}, "
        "xonxoff={p.xonxoff!r}, rtscts={p.rtscts!r}, dsrdtr={p.dsrdtr!r})");
    if (!fmt) return nullptr;
    py::Ref method = py::Ref::steal(PyObject_GetAttrString(fmt.get(), "format"));
    if (!method) return nullptr;
    py::Ref empty = py::Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    return PyObject_Call(method.get(), empty.get(), kwargs.get());
  });
}

// --- properties ---

using Getter = PyObject* (*)(PyObject*, void*);
using Setter = int (*)(PyObject*, PyObject*, void*);

PyObject* get_port(PyObject* self, void*) noexcept {
  return py::guard([&] { return port_name_to_python(port_of(self).port_name()).release(); });
}

int set_port(PyObject* self, PyObject* value, void*) noexcept {
  if (!value) return py::no_deleter();
  return py::guard_int([&]() -> int {
    std::optional<std::string> name;
    if (!noted(optional_port_name(value, name), "value")) return -1;
    return change_port(self, std::move(name)) ? 0 : -1;
  });
}

PyObject* get_is_open(PyObject* self, void*) noexcept {
  return py::guard([&] {
    PortHandle& h = port_of(self);
    return boolean(detached([&] { return h.is_open(); }));
  });
}

// A settings field: read under the settings lock.
template <class F>
PyObject* settings_getter(PyObject* self, F&& field) noexcept {
  return py::guard([&] { return std::forward<F>(field)(port_of(self).settings()).release(); });
}

PyObject* get_baudrate(PyObject* self, void*) noexcept {
  return settings_getter(self, [](const PortSettings& s) { return py::Ref::steal(PyLong_FromUnsignedLong(s.baudrate)); });
}
PyObject* get_bytesize(PyObject* self, void*) noexcept {
  return settings_getter(self, [](const PortSettings& s) { return py::Ref::steal(PyLong_FromLong(s.bytesize)); });
}
PyObject* get_parity(PyObject* self, void*) noexcept {
  return settings_getter(self, [](const PortSettings& s) { return parity_to_python(s.parity); });
}
PyObject* get_stopbits(PyObject* self, void*) noexcept {
  return settings_getter(self, [](const PortSettings& s) { return stopbits_to_python(s.stopbits); });
}
PyObject* get_xonxoff(PyObject* self, void*) noexcept {
  return settings_getter(self, [](const PortSettings& s) { return py::Ref::steal(boolean(s.xonxoff)); });
}
PyObject* get_rtscts(PyObject* self, void*) noexcept {
  return settings_getter(self, [](const PortSettings& s) { return py::Ref::steal(boolean(s.rtscts)); });
}
PyObject* get_dsrdtr(PyObject* self, void*) noexcept {
  return settings_getter(self, [](const PortSettings& s) { return py::Ref::steal(boolean(s.dsrdtr)); });
}
PyObject* get_timeout(PyObject* self, void*) noexcept {
  return settings_getter(self, [](const PortSettings& s) { return timeout_to_python(s.timeout); });
}
PyObject* get_write_timeout(PyObject* self, void*) noexcept {
  return settings_getter(self, [](const PortSettings& s) { return timeout_to_python(s.write_timeout); });
}
PyObject* get_inter_byte_timeout(PyObject* self, void*) noexcept {
  return settings_getter(self, [](const PortSettings& s) { return timeout_to_python(s.inter_byte_timeout); });
}
PyObject* get_exclusive(PyObject* self, void*) noexcept {
  return settings_getter(self, [](const PortSettings& s) { return optional_bool_to_python(s.exclusive); });
}

// A line-setting setter: convert (noted), optionally check (not noted), then
// the settings update.
template <class T, class Convert, class Apply>
int line_setter(PyObject* self, PyObject* value, Convert&& convert, Apply&& apply) noexcept {
  if (!value) return py::no_deleter();
  return py::guard_int([&]() -> int {
    T v{};
    if (!convert(value, v)) return -1;
    PortHandle& h = port_of(self);
    Status st = detached([&] { return h.update_settings([&](PortSettings& s) { apply(s, v); }); });
    return check(st) ? 0 : -1;
  });
}

int set_baudrate(PyObject* self, PyObject* value, void*) noexcept {
  return line_setter<std::uint32_t>(
      self, value, [](PyObject* o, std::uint32_t& v) { return noted(convert_baudrate(o, v), "value"); },
      [](PortSettings& s, std::uint32_t v) { s.baudrate = v; });
}
int set_bytesize(PyObject* self, PyObject* value, void*) noexcept {
  return line_setter<std::uint8_t>(
      self, value, [](PyObject* o, std::uint8_t& v) { return noted(convert_bytesize(o, v), "value"); },
      [](PortSettings& s, std::uint8_t v) { s.bytesize = v; });
}
int set_parity(PyObject* self, PyObject* value, void*) noexcept {
  return line_setter<Parity>(
      self, value,
      [](PyObject* o, Parity& v) {
        std::string letter;
        return noted(convert_parity(o, letter), "value") && check_parity(letter, v);
      },
      [](PortSettings& s, Parity v) { s.parity = v; });
}
int set_stopbits(PyObject* self, PyObject* value, void*) noexcept {
  return line_setter<StopBits>(
      self, value,
      [](PyObject* o, StopBits& v) {
        double x = 0;
        return noted(convert_float(o, x), "value") && check_stopbits(x, v);
      },
      [](PortSettings& s, StopBits v) { s.stopbits = v; });
}
int set_xonxoff(PyObject* self, PyObject* value, void*) noexcept {
  return line_setter<bool>(
      self, value, [](PyObject* o, bool& v) { return noted(convert_truth(o, v), "value"); },
      [](PortSettings& s, bool v) { s.xonxoff = v; });
}
int set_rtscts(PyObject* self, PyObject* value, void*) noexcept {
  return line_setter<bool>(
      self, value, [](PyObject* o, bool& v) { return noted(convert_truth(o, v), "value"); },
      [](PortSettings& s, bool v) { s.rtscts = v; });
}
int set_dsrdtr(PyObject* self, PyObject* value, void*) noexcept {
  return line_setter<std::optional<bool>>(
      self, value, [](PyObject* o, std::optional<bool>& v) { return noted(convert_optional_truth(o, v), "value"); },
      [](PortSettings& s, std::optional<bool> v) { s.dsrdtr = v.value_or(s.rtscts); });
}

// Timeouts are only stored (never reach the device).
template <class T, class Convert, class Apply>
int stored_setter(PyObject* self, PyObject* value, Convert&& convert, Apply&& apply) noexcept {
  if (!value) return py::no_deleter();
  return py::guard_int([&]() -> int {
    T v{};
    if (!convert(value, v)) return -1;
    PortHandle& h = port_of(self);
    detached([&] { h.store_settings([&](PortSettings& s) { apply(s, v); }); });
    return 0;
  });
}

bool timeout_value(PyObject* o, TimeoutValue& v) noexcept {
  return noted(convert_timeout(o, v), "value") && check_timeout(v);
}

int set_timeout(PyObject* self, PyObject* value, void*) noexcept {
  return stored_setter<TimeoutValue>(self, value, timeout_value, [](PortSettings& s, TimeoutValue v) { s.timeout = v; });
}
int set_write_timeout(PyObject* self, PyObject* value, void*) noexcept {
  return stored_setter<TimeoutValue>(self, value, timeout_value,
                                     [](PortSettings& s, TimeoutValue v) { s.write_timeout = v; });
}
int set_inter_byte_timeout(PyObject* self, PyObject* value, void*) noexcept {
  return stored_setter<TimeoutValue>(self, value, timeout_value,
                                     [](PortSettings& s, TimeoutValue v) { s.inter_byte_timeout = v; });
}
// On an open port the locks are taken or given up at once; a refusal
// raises and leaves the port open, unlocked, with the previous value.
int set_exclusive(PyObject* self, PyObject* value, void*) noexcept {
  if (!value) return py::no_deleter();
  return py::guard_int([&]() -> int {
    std::optional<bool> v;
    if (!noted(convert_optional_truth(value, v), "value")) return -1;
    PortHandle& h = port_of(self);
    Status st = detached([&] { return h.set_exclusive(v); });
    return check(st) ? 0 : -1;
  });
}

// RS-485 direction control: checked for the platform first, so a closed
// port refuses a mode it could never apply.
PyObject* get_rs485_mode(PyObject* self, void*) noexcept {
  return settings_getter(self, [](const PortSettings& s) { return rs485::to_python(s.rs485); });
}
int set_rs485_mode(PyObject* self, PyObject* value, void*) noexcept {
  if (!value) return py::no_deleter();
  return py::guard_int([&]() -> int {
    std::optional<Rs485Settings> mode;
    if (!noted(rs485::from_python(value, mode), "value")) return -1;
    PortHandle& h = port_of(self);
    Status st = detached([&]() -> Status {
      if (Status supported = check_rs485_support(mode); !supported) return supported;
      return h.update_settings([&](PortSettings& s) { s.rs485 = mode; });
    });
    return check(st) ? 0 : -1;
  });
}

// Requested line states.
PyObject* get_rts(PyObject* self, void*) noexcept { return py::guard([&] { return boolean(port_of(self).rts()); }); }
PyObject* get_dtr(PyObject* self, void*) noexcept { return py::guard([&] { return boolean(port_of(self).dtr()); }); }
PyObject* get_break_condition(PyObject* self, void*) noexcept {
  return py::guard([&] { return boolean(port_of(self).break_condition()); });
}

template <class Apply>
int line_state_setter(PyObject* self, PyObject* value, Apply&& apply) noexcept {
  if (!value) return py::no_deleter();
  return py::guard_int([&]() -> int {
    bool v = false;
    if (!noted(convert_truth(value, v), "value")) return -1;
    PortHandle& h = port_of(self);
    Status st = detached([&] { return apply(h, v); });
    return check(st) ? 0 : -1;
  });
}
int set_rts(PyObject* self, PyObject* value, void*) noexcept {
  return line_state_setter(self, value, [](PortHandle& h, bool v) { return h.set_rts(v); });
}
int set_dtr(PyObject* self, PyObject* value, void*) noexcept {
  return line_state_setter(self, value, [](PortHandle& h, bool v) { return h.set_dtr(v); });
}
int set_break_condition(PyObject* self, PyObject* value, void*) noexcept {
  return line_state_setter(self, value, [](PortHandle& h, bool v) { return h.set_break(v); });
}

// Values read from the device (detached).
template <class F>
PyObject* device_getter(PyObject* self, F&& read) noexcept {
  return py::guard([&]() -> PyObject* {
    PortHandle& h = port_of(self);
    auto r = detached([&] { return read(h); });
    if (!check(r)) return nullptr;
    using T = std::remove_cvref_t<decltype(*r)>;
    if constexpr (std::is_same_v<T, bool>)
      return boolean(*r);
    else
      return PyLong_FromUnsignedLongLong(*r);
  });
}

PyObject* get_cts(PyObject* self, void*) noexcept {
  return device_getter(self, [](PortHandle& h) { return h.read_cts(); });
}
PyObject* get_dsr(PyObject* self, void*) noexcept {
  return device_getter(self, [](PortHandle& h) { return h.read_dsr(); });
}
PyObject* get_ri(PyObject* self, void*) noexcept {
  return device_getter(self, [](PortHandle& h) { return h.read_ri(); });
}
PyObject* get_cd(PyObject* self, void*) noexcept {
  return device_getter(self, [](PortHandle& h) { return h.read_cd(); });
}
PyObject* get_in_waiting(PyObject* self, void*) noexcept {
  return device_getter(self, [](PortHandle& h) { return h.bytes_to_read(); });
}
PyObject* get_out_waiting(PyObject* self, void*) noexcept {
  return device_getter(self, [](PortHandle& h) { return h.bytes_to_write(); });
}

// Read-only properties refuse deletion with the same message as the others.
// (the interpreter's text for a property without a setter).
int not_writable(PyObject* value, void* closure, const char* type_name) noexcept {
  if (!value) return py::no_deleter();
  PyErr_Format(PyExc_AttributeError, "attribute '%s' of '%s' objects is not writable",
               static_cast<const char*>(closure), type_name);
  return -1;
}
int read_only(PyObject*, PyObject* value, void* closure) noexcept {
  return not_writable(value, closure, "corvalink.SerialBase");
}
int read_only_serial(PyObject*, PyObject* value, void* closure) noexcept {
  return not_writable(value, closure, "corvalink.Serial");
}

PyGetSetDef base_getset[] = {
    {"port", get_port, set_port,
     "The device name or URL, or None. \"loop://\" is an in-memory port that reads back what was written; it "
     "holds at most 4096 unread bytes, and a write beyond that waits until they are read. "
     "\"socket://HOST:PORT\" and \"rfc2217://HOST:PORT[?timeout=SECONDS]\" are ports on the network.",
     nullptr},
    {"name", get_port, read_only, "The device name or URL (read-only).", const_cast<char*>("name")},
    {"portstr", get_port, read_only, "The device name or URL (read-only).", const_cast<char*>("portstr")},
    {"is_open", get_is_open, read_only, "Whether the port is open.", const_cast<char*>("is_open")},
    {"baudrate", get_baudrate, set_baudrate, "Line speed in bits per second.", nullptr},
    {"bytesize", get_bytesize, set_bytesize, "Data bits per character (5 to 8).", nullptr},
    {"parity", get_parity, set_parity, "Parity: 'N', 'E', 'O', 'M' or 'S'.", nullptr},
    {"stopbits", get_stopbits, set_stopbits, "Stop bits: 1, 1.5 or 2.", nullptr},
    {"xonxoff", get_xonxoff, set_xonxoff, "Software flow control.", nullptr},
    {"rtscts", get_rtscts, set_rtscts, "RTS/CTS hardware flow control.", nullptr},
    {"dsrdtr", get_dsrdtr, set_dsrdtr, "DSR/DTR hardware flow control (None follows rtscts).", nullptr},
    {"timeout", get_timeout, set_timeout, "Read timeout in seconds, or None.", nullptr},
    {"write_timeout", get_write_timeout, set_write_timeout, "Write timeout in seconds, or None.", nullptr},
    {"inter_byte_timeout", get_inter_byte_timeout, set_inter_byte_timeout,
     "Longest silence between received bytes, or None.", nullptr},
    {"exclusive", get_exclusive, set_exclusive,
     "Exclusive use (None, True or False): True takes flock and the UUCP lock file, at once on an open port.",
     nullptr},
    {"rs485_mode", get_rs485_mode, set_rs485_mode,
     "RS-485 direction control: a `corvalink.rs485.RS485Settings`, or None for none.", nullptr},
    {"rts", get_rts, set_rts, "Requested RTS line state.", nullptr},
    {"dtr", get_dtr, set_dtr, "Requested DTR line state.", nullptr},
    {"break_condition", get_break_condition, set_break_condition, "Requested break state.", nullptr},
    {"cts", get_cts, read_only, "CTS line state read from the device.", const_cast<char*>("cts")},
    {"dsr", get_dsr, read_only, "DSR line state read from the device.", const_cast<char*>("dsr")},
    {"ri", get_ri, read_only, "RI line state read from the device.", const_cast<char*>("ri")},
    {"cd", get_cd, read_only, "CD line state read from the device.", const_cast<char*>("cd")},
    {"in_waiting", get_in_waiting, read_only, "Bytes received and not yet read.", const_cast<char*>("in_waiting")},
    {"out_waiting", get_out_waiting, read_only, "Bytes written and not yet sent.", const_cast<char*>("out_waiting")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- methods ---

PyObject* m_open(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    PortHandle& h = port_of(self);
    std::vector<SettingNotKept> not_kept;
    Status st = detached([&] {
      std::lock_guard lock(lifecycle_of(self));
      return h.open(&not_kept);
    });
    if (!check(st) || !warn_not_kept(self, not_kept)) return nullptr;
    return none();
  });
}

PyObject* m_close(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    PortHandle& h = port_of(self);
    detached([&] {
      std::lock_guard lock(lifecycle_of(self));
      h.close();
    });
    return none();
  });
}

template <class F>
PyObject* status_method(PyObject* self, F&& f) noexcept {
  return py::guard([&]() -> PyObject* {
    PortHandle& h = port_of(self);
    if (!check(detached([&] { return f(h); }))) return nullptr;
    return none();
  });
}

PyObject* m_reset_input_buffer(PyObject* self, PyObject*) noexcept {
  return status_method(self, [](PortHandle& h) { return h.reset_input_buffer(); });
}
PyObject* m_reset_output_buffer(PyObject* self, PyObject*) noexcept {
  return status_method(self, [](PortHandle& h) { return h.reset_output_buffer(); });
}

PyObject* m_get_settings(PyObject* self, PyObject*) noexcept {
  return py::guard([&] { return settings_to_dict(port_of(self).settings()).release(); });
}

PyObject* m_apply_settings(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"d"};
    PyObject* d = nullptr;
    if (!bind_args("SerialBase.apply_settings", kNames, 1, true, args, nargs, kwnames, &d)) return nullptr;
    SettingsPatch patch;
    if (!read_settings_patch(d, patch)) return nullptr;
    PortHandle& h = port_of(self);
    Status st = detached([&] { return h.update_settings([&](PortSettings& s) { patch.apply_to(s); }); });
    if (!check(st)) return nullptr;
    return none();
  });
}

PyObject* m_fileno(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    PortHandle& h = port_of(self);
    auto r = detached([&] { return h.fileno(); });
    if (!check(r)) return nullptr;
    if (*r) return PyLong_FromLong(**r);
    py::Ref io = py::Ref::steal(PyImport_ImportModule("io"));
    if (!io) return nullptr;
    py::Ref unsupported = py::Ref::steal(PyObject_GetAttrString(io.get(), "UnsupportedOperation"));
    if (!unsupported) return nullptr;
    py::Ref what = py::str("fileno");
    if (!what) return nullptr;
    py::Ref exc = py::Ref::steal(PyObject_CallOneArg(unsupported.get(), what.get()));
    if (!exc) return nullptr;
    PyErr_SetRaisedException(exc.release());
    return nullptr;
  });
}

PyObject* m_set_buffer_size(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 2> kNames = {"rx_size", "tx_size"};
    PyObject* a[2];
    if (!bind_args("SerialBase.set_buffer_size", kNames, 0, true, args, nargs, kwnames, a)) return nullptr;
    std::uint32_t rx = 4096;
    std::optional<std::uint32_t> tx;
    if (a[0] && !noted(to_u32(a[0], rx), "rx_size")) return nullptr;
    if (a[1] && a[1] != Py_None) {
      std::uint32_t t = 0;
      if (!noted(to_u32(a[1], t), "tx_size")) return nullptr;
      tx = t;
    }
    return status_method(self, [&](PortHandle& h) { return h.set_buffer_size(rx, tx); });
  });
}

PyObject* m_cancel_read(PyObject* self, PyObject*) noexcept {
  port_of(self).cancel_read();
  return none();
}
PyObject* m_cancel_write(PyObject* self, PyObject*) noexcept {
  port_of(self).cancel_write();
  return none();
}

#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef base_methods[] = {
    {"open", m_open, METH_NOARGS, "open($self)\n--\n\nOpens the port."},
    {"close", m_close, METH_NOARGS, "close($self)\n--\n\nCloses the port; closing a closed port does nothing."},
    {"reset_input_buffer", m_reset_input_buffer, METH_NOARGS,
     "reset_input_buffer($self)\n--\n\nDiscards the received data that was not read."},
    {"reset_output_buffer", m_reset_output_buffer, METH_NOARGS,
     "reset_output_buffer($self)\n--\n\nDiscards the data that was written and not yet sent."},
    {"get_settings", m_get_settings, METH_NOARGS,
     "get_settings($self)\n--\n\nReturns the line and timeout settings as a dictionary."},
    {"apply_settings", FASTCALL_KW(m_apply_settings), METH_FASTCALL | METH_KEYWORDS,
     "apply_settings($self, d)\n--\n\nApplies the settings present in the dictionary `d`, all or none."},
    {"fileno", m_fileno, METH_NOARGS, "fileno($self)\n--\n\nReturns the port's file descriptor, if it has one."},
    {"set_buffer_size", FASTCALL_KW(m_set_buffer_size), METH_FASTCALL | METH_KEYWORDS,
     "set_buffer_size($self, rx_size=4096, tx_size=None)\n--\n\nSets the driver's buffer sizes."},
    {"cancel_read", m_cancel_read, METH_NOARGS,
     "cancel_read($self)\n--\n\nEnds a waiting read early, or the next one that waits."},
    {"cancel_write", m_cancel_write, METH_NOARGS,
     "cancel_write($self)\n--\n\nEnds a waiting write early, or the next one that waits."},
    {nullptr, nullptr, 0, nullptr},
};

// ===========================================================================
// The data-moving methods of both port classes. They convert their arguments
// the same way; the blocking Serial runs the operation to its end, the
// asynchronous one starts it and returns its Future.

enum class Face : std::uint8_t { Blocking, Async };

// How the asynchronous face starts each operation: reads and breaks with a
// first step (a read of buffered data finishes at once); writes and flushes
// take their place on the write side at the call, by a first step whose
// outcome is published after the call returned (their Future is pending on
// return). A read names its port, which gets back bytes nobody received.
enum class Start : std::uint8_t { Read, Break, WriteSide };

template <Face F>
PyObject* run(OperationPtr op, Start start, const PortRef& port) noexcept {
  if constexpr (F == Face::Blocking) {
    (void)start;
    (void)port;
    return run_blocking(std::move(op));
  } else {
    switch (start) {
      case Start::Read: return start_future(std::move(op), StartForm::FirstStep, port);
      case Start::Break: return start_future(std::move(op), StartForm::FirstStep, nullptr, port.get());
      case Start::WriteSide: break;
    }
    return start_future(std::move(op), StartForm::FirstStepPending, nullptr, port.get());
  }
}

template <Face F>
PyObject* m_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"size"};
    PyObject* a = nullptr;
    std::uint64_t size = 1;
    if (nargs != 1 || kwnames) {
      if (!bind_args("Serial.read", kNames, 0, true, args, nargs, kwnames, &a)) return nullptr;
    } else {
      a = args[0];
    }
    if (a && !noted(to_u64(a, size), "size")) return nullptr;
    if constexpr (F == Face::Blocking)
      return read_blocking(handle_ref(self), static_cast<std::size_t>(size));
    else
      return run<F>(make_read(handle_of(self), static_cast<std::size_t>(size)), Start::Read, handle_ref(self));
  });
}

template <Face F>
PyObject* m_read_until(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 2> kNames = {"expected", "size"};
    PyObject* a[2];
    if (!bind_args("Serial.read_until", kNames, 0, true, args, nargs, kwnames, a)) return nullptr;
    std::optional<std::size_t> size;
    if (a[1] && a[1] != Py_None) {
      std::uint64_t n = 0;
      if (!noted(to_u64(a[1], n), "size")) return nullptr;
      size = static_cast<std::size_t>(n);
    }
    PortRef handle = handle_of(self);
    ByteString expected{'\n'};
    if (a[0] && a[0] != Py_None && !to_byte_data(a[0], expected)) return nullptr;
    return run<F>(make_read_until(handle, std::move(expected), size), Start::Read, handle);
  });
}

// A signed limit; negative means none.
bool optional_limit(PyObject* value, const char* name, std::optional<std::size_t>& out) noexcept {
  std::int64_t n = -1;
  if (value && !noted(to_i64(value, n), name)) return false;
  if (n >= 0) out = static_cast<std::size_t>(n);
  return true;
}

template <Face F>
PyObject* m_readline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"size"};
    PyObject* a = nullptr;
    if (!bind_args("Serial.readline", kNames, 0, true, args, nargs, kwnames, &a)) return nullptr;
    std::optional<std::size_t> size;
    if (!optional_limit(a, "size", size)) return nullptr;
    return run<F>(make_readline(handle_of(self), size), Start::Read, handle_ref(self));
  });
}

template <Face F>
PyObject* m_readlines(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"hint"};
    PyObject* a = nullptr;
    if (!bind_args("Serial.readlines", kNames, 0, true, args, nargs, kwnames, &a)) return nullptr;
    std::optional<std::size_t> hint;
    if (!optional_limit(a, "hint", hint)) return nullptr;
    return run<F>(make_readlines(handle_of(self), hint), Start::Read, handle_ref(self));
  });
}

PyObject* m_readinto(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"b"};
    PyObject* b = nullptr;
    if (!bind_args("Serial.readinto", kNames, 1, true, args, nargs, kwnames, &b)) return nullptr;
    if (PyObject_CheckBuffer(b)) {
      // Filled byte-wise up to its size in bytes. Taken writable before
      // anything is read, so a buffer that cannot take the bytes loses none;
      // held until they are stored, so it cannot move meanwhile.
      Py_buffer view;
      if (PyObject_GetBuffer(b, &view, PyBUF_WRITABLE) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_BufferError)) return nullptr;
        py::Ref cause = py::Ref::steal(PyErr_GetRaisedException());
        PyErr_Format(PyExc_TypeError, "readinto() argument must be a writable contiguous buffer, not '%s'",
                     Py_TYPE(b)->tp_name);
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetCause(exc, cause.release());
        PyErr_SetRaisedException(exc);
        return nullptr;
      }
      struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
      } release{&view};
      py::Ref data = py::Ref::steal(read_blocking(handle_ref(self), static_cast<std::size_t>(view.len)));
      if (!data) return nullptr;
      const Py_ssize_t m = PyBytes_GET_SIZE(data.get());
      std::memcpy(view.buf, PyBytes_AS_STRING(data.get()), static_cast<std::size_t>(m));
      return PyLong_FromSsize_t(m);
    }
    Py_ssize_t n = PyObject_Length(b);
    if (n < 0) return nullptr;
    py::Ref data = py::Ref::steal(read_blocking(handle_ref(self), static_cast<std::size_t>(n)));
    if (!data) return nullptr;
    Py_ssize_t m = PyBytes_GET_SIZE(data.get());
    py::Ref start = py::Ref::steal(PyLong_FromLong(0));
    py::Ref stop = py::Ref::steal(PyLong_FromSsize_t(m));
    py::Ref step = py::Ref::steal(PyLong_FromLong(1));
    if (!start || !stop || !step) return nullptr;
    py::Ref slice = py::Ref::steal(PySlice_New(start.get(), stop.get(), step.get()));
    if (!slice || PyObject_SetItem(b, slice.get(), data.get()) < 0) return nullptr;
    return PyLong_FromSsize_t(m);
  });
}

template <Face F>
PyObject* m_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"data"};
    PyObject* a = nullptr;
    if (nargs == 1 && !kwnames) {
      a = args[0];
    } else if (!bind_args("Serial.write", kNames, 1, true, args, nargs, kwnames, &a)) {
      return nullptr;
    }
    const PortRef& handle = handle_ref(self);
    if constexpr (F == Face::Blocking) {
      if (PyBytes_CheckExact(a))
        return write_blocking(handle, Bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(a)),
                                            static_cast<std::size_t>(PyBytes_GET_SIZE(a))));
    }
    ByteString data;
    if (!to_byte_data(a, data)) return nullptr;
    if constexpr (F == Face::Blocking)
      return write_blocking(handle, data);
    else
      return run<F>(make_write(handle, std::move(data), true), Start::WriteSide, handle);
  });
}

template <Face F>
PyObject* m_flush(PyObject* self, PyObject*) noexcept {
  return py::guard([&] { return run<F>(make_flush(handle_of(self)), Start::WriteSide, handle_ref(self)); });
}

template <Face F>
PyObject* m_send_break(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"duration"};
    PyObject* a = nullptr;
    if (!bind_args("Serial.send_break", kNames, 0, true, args, nargs, kwnames, &a)) return nullptr;
    double duration = 0.25;
    if (a && !noted(convert_float(a, duration), "duration")) return nullptr;
    return run<F>(make_send_break(handle_of(self), duration), Start::Break, handle_ref(self));
  });
}

// Both classes: self.read(self.in_waiting), through attribute lookup.
PyObject* m_read_all(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    py::Ref waiting = py::Ref::steal(PyObject_GetAttrString(self, "in_waiting"));
    if (!waiting) return nullptr;
    py::Ref name = py::str("read");
    if (!name) return nullptr;
    PyObject* call_args[] = {self, waiting.get()};
    return PyObject_VectorcallMethod(name.get(), call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  });
}

// ===========================================================================
// Serial (blocking)

PyObject* m_true(PyObject*, PyObject*) noexcept { return boolean(true); }
PyObject* m_false(PyObject*, PyObject*) noexcept { return boolean(false); }

// The checks of entering a with block: open a named port that is closed.
bool open_for_block(PyObject* self, bool* opened = nullptr) noexcept {
  PortHandle& h = port_of(self);
  if (h.port_name() && !h.is_open()) {
    py::Ref r = py::Ref::steal(PyObject_CallMethod(self, "open", nullptr));
    if (!r) return false;
    if (opened) *opened = true;
  }
  return true;
}

bool close_for_block(PyObject* self) noexcept {
  py::Ref r = py::Ref::steal(PyObject_CallMethod(self, "close", nullptr));
  return static_cast<bool>(r);
}

PyObject* m_enter(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* { return open_for_block(self) ? Py_NewRef(self) : nullptr; });
}

PyObject* m_exit(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* { return close_for_block(self) ? none() : nullptr; });
}

PyObject* serial_iter(PyObject* self) noexcept { return Py_NewRef(self); }

PyObject* serial_iternext(PyObject* self) noexcept {
  return py::guard([&]() -> PyObject* {
    py::Ref line = py::Ref::steal(run_blocking(make_readline(handle_of(self), std::nullopt)));
    if (!line) return nullptr;
    if (PyBytes_GET_SIZE(line.get()) == 0) return nullptr;  // iteration ends
    return line.release();
  });
}

PyObject* get_closed(PyObject* self, void*) noexcept {
  return py::guard([&] {
    PortHandle& h = port_of(self);
    return boolean(!detached([&] { return h.is_open(); }));
  });
}

PyGetSetDef serial_getset[] = {
    {"closed", get_closed, read_only_serial, "Whether the port is closed.", const_cast<char*>("closed")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef serial_methods[] = {
    {"read", FASTCALL_KW(m_read<Face::Blocking>), METH_FASTCALL | METH_KEYWORDS,
     "read($self, size=1)\n--\n\nReads up to `size` bytes, waiting as the timeouts allow."},
    {"read_until", FASTCALL_KW(m_read_until<Face::Blocking>), METH_FASTCALL | METH_KEYWORDS,
     "read_until(self, /, expected=b'\\n', size=None)\n--\n\n"
     "Reads until `expected` (included), `size` bytes, or the timeout."},
    {"readline", FASTCALL_KW(m_readline<Face::Blocking>), METH_FASTCALL | METH_KEYWORDS,
     "readline(self, /, size=-1)\n--\n\nReads one line, terminator included."},
    {"readlines", FASTCALL_KW(m_readlines<Face::Blocking>), METH_FASTCALL | METH_KEYWORDS,
     "readlines(self, /, hint=-1)\n--\n\nReads lines until a timeout, or until `hint` bytes were read."},
    {"readinto", FASTCALL_KW(m_readinto), METH_FASTCALL | METH_KEYWORDS,
     "readinto($self, b)\n--\n\nReads up to len(b) bytes into `b`; returns the count."},
    {"write", FASTCALL_KW(m_write<Face::Blocking>), METH_FASTCALL | METH_KEYWORDS,
     "write($self, data)\n--\n\nWrites bytes, a str (as UTF-8) or a buffer; returns the count written."},
    {"flush", m_flush<Face::Blocking>, METH_NOARGS, "flush($self)\n--\n\nWaits until the written data was sent."},
    {"send_break", FASTCALL_KW(m_send_break<Face::Blocking>), METH_FASTCALL | METH_KEYWORDS,
     "send_break($self, duration=0.25)\n--\n\nHolds the break condition for `duration` seconds."},
    {"read_all", m_read_all, METH_NOARGS, "read_all($self)\n--\n\nReads the bytes already received."},
    {"readable", m_true, METH_NOARGS, "readable($self)\n--\n\nAlways True."},
    {"writable", m_true, METH_NOARGS, "writable($self)\n--\n\nAlways True."},
    {"seekable", m_false, METH_NOARGS, "seekable($self)\n--\n\nAlways False."},
    {"__enter__", m_enter, METH_NOARGS, "__enter__($self)\n--\n\nOpens the port if a name is set and it is closed."},
    {"__exit__", m_exit, METH_VARARGS, "__exit__($self, *_args)\n--\n\nCloses the port."},
    {nullptr, nullptr, 0, nullptr},
};

// ===========================================================================
// corvalink.aio.Serial

PyObject* m_aenter(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    bool opened = false;
    if (!open_for_block(self, &opened)) return nullptr;
    // An `async with` cancelled in the await of this future never runs its
    // body nor __aexit__: the port it opened is closed again.
    py::Ref undo;
    if (opened) {
      undo = py::Ref::steal(PyObject_GetAttrString(self, "close"));
      if (!undo) return nullptr;
    }
    return finished_future(self, undo.get());
  });
}

PyObject* m_aexit(PyObject* self, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* { return close_for_block(self) ? finished_future(Py_None) : nullptr; });
}

PyMethodDef aio_serial_methods[] = {
    {"read", FASTCALL_KW(m_read<Face::Async>), METH_FASTCALL | METH_KEYWORDS,
     "read($self, size=1)\n--\n\nReads up to `size` bytes, waiting as the timeouts allow."},
    {"read_until", FASTCALL_KW(m_read_until<Face::Async>), METH_FASTCALL | METH_KEYWORDS,
     "read_until(self, /, expected=b'\\n', size=None)\n--\n\n"
     "Reads until `expected` (included), `size` bytes, or the timeout."},
    {"readline", FASTCALL_KW(m_readline<Face::Async>), METH_FASTCALL | METH_KEYWORDS,
     "readline(self, /, size=-1)\n--\n\nReads one line, terminator included."},
    {"readlines", FASTCALL_KW(m_readlines<Face::Async>), METH_FASTCALL | METH_KEYWORDS,
     "readlines(self, /, hint=-1)\n--\n\nReads lines until a timeout, or until `hint` bytes were read."},
    {"write", FASTCALL_KW(m_write<Face::Async>), METH_FASTCALL | METH_KEYWORDS,
     "write($self, data)\n--\n\nWrites bytes, a str (as UTF-8) or a buffer; the future gives the count written."},
    {"flush", m_flush<Face::Async>, METH_NOARGS, "flush($self)\n--\n\nFinishes when the written data was sent."},
    {"send_break", FASTCALL_KW(m_send_break<Face::Async>), METH_FASTCALL | METH_KEYWORDS,
     "send_break($self, duration=0.25)\n--\n\nHolds the break condition for `duration` seconds."},
    {"read_all", m_read_all, METH_NOARGS, "read_all($self)\n--\n\nReads the bytes already received."},
    {"__aenter__", m_aenter, METH_NOARGS,
     "__aenter__($self)\n--\n\nOpens the port if a name is set and it is closed."},
    {"__aexit__", m_aexit, METH_VARARGS, "__aexit__($self, *_args)\n--\n\nCloses the port."},
    {nullptr, nullptr, 0, nullptr},
};

#undef FASTCALL_KW

// ===========================================================================
// Classes

py::OnceCell base_cell;
py::OnceCell serial_cell;

PyObject* class_attributes(PyObject* type) noexcept {
  PyObject* baudrate_enum = baudrate_type();
  if (!baudrate_enum) return nullptr;
  py::Ref baudrates = py::Ref::steal(PySequence_Tuple(baudrate_enum));
  py::Ref bytesizes = py::Ref::steal(Py_BuildValue("(iiii)", 5, 6, 7, 8));
  py::Ref parities = py::Ref::steal(Py_BuildValue("(sssss)", "N", "E", "O", "M", "S"));
  py::Ref stopbits = py::Ref::steal(Py_BuildValue("(idi)", 1, 1.5, 2));
  if (!baudrates || !bytesizes || !parities || !stopbits ||
      PyObject_SetAttrString(type, "BAUDRATES", baudrates.get()) < 0 ||
      PyObject_SetAttrString(type, "BYTESIZES", bytesizes.get()) < 0 ||
      PyObject_SetAttrString(type, "PARITIES", parities.get()) < 0 ||
      PyObject_SetAttrString(type, "STOPBITS", stopbits.get()) < 0)
    return nullptr;
  return type;
}

PyObject* make_serial_base() noexcept {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Properties and non-I/O methods shared by `corvalink.Serial` and "
                                    "`corvalink.aio.Serial`.\n\n"
                                    "It cannot be instantiated itself. The settings can be read and changed "
                                    "on a closed port too; a change on an open port is applied at once.")},
      {Py_tp_dealloc, reinterpret_cast<void*>(serial_dealloc)},
      {Py_tp_init, reinterpret_cast<void*>(serial_init)},
      {Py_tp_repr, reinterpret_cast<void*>(serial_repr)},
      {Py_tp_methods, base_methods},
      {Py_tp_getset, base_getset},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      "corvalink.SerialBase",
      static_cast<int>(sizeof(SerialObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  py::Ref type = py::Ref::steal(PyType_FromSpec(&spec));
  if (!type || !class_attributes(type.get())) return nullptr;
  return type.release();
}

PyObject* make_serial() noexcept {
  PyObject* base = serial_base_type();
  if (!base) return nullptr;
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Serial(port=None, baudrate=9600, bytesize=8, parity='N', stopbits=1, timeout=None, "
                                    "xonxoff=False, rtscts=False, write_timeout=None, dsrdtr=None, "
                                    "inter_byte_timeout=None, exclusive=None)\n--\n\n"
                                    "A serial port with the conventional blocking serial-port API.\n\n"
                                    "With a `port`, the port is opened at once. The line settings are "
                                    "`baudrate`, `bytesize` (5 to 8), `parity` ('N', 'E', 'O', 'M', 'S'), "
                                    "`stopbits` (1, 1.5, 2) and flow control by `xonxoff`, `rtscts` and "
                                    "`dsrdtr` (None: as `rtscts`). `timeout` bounds a read (None waits as "
                                    "long as it takes, 0 returns what is there), `inter_byte_timeout` the silence "
                                    "between received bytes and `write_timeout` a write; all in seconds. "
                                    "`exclusive=True` locks a Linux device against other programs (flock "
                                    "and the UUCP lock file).\n\n"
                                    "The port is a device name, or \"loop://\": an in-memory port that reads "
                                    "back what was written. loop:// holds at most 4096 unread bytes; a write "
                                    "beyond that waits until they are read (without a write timeout, for as "
                                    "long as it takes), so a thread that writes more must not be the one that "
                                    "reads it back.\n\n"
                                    "\"socket://HOST:PORT\" is a raw TCP connection and "
                                    "\"rfc2217://HOST:PORT\" a Telnet connection with the COM port option "
                                    "(RFC 2217), which also carries the settings, the modem lines and "
                                    "breaks; HOST is a name, an IPv4 address or an IPv6 address in "
                                    "brackets, and \"?timeout=SECONDS\" bounds the waits for the server "
                                    "(3 s by default).")},
      {Py_tp_new, reinterpret_cast<void*>(serial_new)},
      {Py_tp_iter, reinterpret_cast<void*>(serial_iter)},
      {Py_tp_iternext, reinterpret_cast<void*>(serial_iternext)},
      {Py_tp_methods, serial_methods},
      {Py_tp_getset, serial_getset},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      "corvalink.Serial",
      static_cast<int>(sizeof(SerialObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
      slots,
  };
  return PyType_FromSpecWithBases(&spec, base);
}

py::OnceCell aio_serial_cell;

PyObject* make_aio_serial() noexcept {
  PyObject* base = serial_base_type();
  if (!base) return nullptr;
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Serial(port=None, baudrate=9600, bytesize=8, parity='N', stopbits=1, timeout=None, "
                                    "xonxoff=False, rtscts=False, write_timeout=None, dsrdtr=None, "
                                    "inter_byte_timeout=None, exclusive=None)\n--\n\n"
                                    "Serial port whose I/O methods return futures.\n\n"
                                    "It takes the arguments of `corvalink.Serial` and has the same "
                                    "properties; `read`, `write` and the other I/O methods return a "
                                    "`corvalink.aio.Future` at once, which an event loop awaits, a thread "
                                    "waits for with `Future.wait`, or done-callbacks follow. `async with` "
                                    "opens and closes the port.")},
      {Py_tp_new, reinterpret_cast<void*>(serial_new)},
      {Py_tp_methods, aio_serial_methods},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      "corvalink.aio.Serial",
      static_cast<int>(sizeof(SerialObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
      slots,
  };
  return PyType_FromSpecWithBases(&spec, base);
}

// --- serial_for_url ---

PyObject* serial_for_url(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    PyObject* cls = serial_type();
    if (!cls) return nullptr;
    return serial_for_url_impl(cls, "serial_for_url", args, nargs, kwnames);
  });
}

PyMethodDef serial_for_url_def = {
    "serial_for_url", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(serial_for_url)),
    METH_FASTCALL | METH_KEYWORDS,
    "serial_for_url(url, *args, do_not_open=False, **kwargs)\n--\n\n"
    "Returns a `Serial` for `url`, which is a device name, `loop://`, `socket://HOST:PORT` or "
    "`rfc2217://HOST:PORT[?timeout=SECONDS]`."};

PyObject* aio_serial_for_url(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    PyObject* cls = aio_serial_type();
    if (!cls) return nullptr;
    return serial_for_url_impl(cls, "serial_for_url", args, nargs, kwnames);
  });
}

PyMethodDef aio_serial_for_url_def = {
    "serial_for_url", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(aio_serial_for_url)),
    METH_FASTCALL | METH_KEYWORDS,
    "serial_for_url(url, *args, do_not_open=False, **kwargs)\n--\n\n"
    "Returns an `corvalink.aio.Serial` for `url`, which is a device name, `loop://`, `socket://HOST:PORT` or "
    "`rfc2217://HOST:PORT[?timeout=SECONDS]`."};

}  // namespace

PyObject* aio_serial_type() noexcept { return aio_serial_cell.get_or_init(make_aio_serial); }
PyObject* serial_base_type() noexcept { return base_cell.get_or_init(make_serial_base); }
PyObject* serial_type() noexcept { return serial_cell.get_or_init(make_serial); }

PyObject* serial_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return py::guard([&]() -> PyObject* {
    std::shared_ptr<PortHandle> handle = PortHandle::create(open_backend);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* obj = reinterpret_cast<SerialObject*>(self);
    new (&obj->handle) std::shared_ptr<PortHandle>(std::move(handle));
    new (&obj->lifecycle) std::mutex();
    return self;
  });
}

bool update_settings(PortHandle& handle, const PortSettings& next) noexcept {
  Status st = detached([&] { return handle.update_settings([&](PortSettings& s) { s = next; }); });
  return check(st);
}

bool change_port(PyObject* self, std::optional<std::string> name) noexcept {
  PortHandle& handle = port_of(self);
  std::vector<SettingNotKept> not_kept;
  Status st = detached([&] {
    std::lock_guard lock(lifecycle_of(self));
    return handle.change_port(std::move(name), &not_kept);
  });
  return check(st) && warn_not_kept(self, not_kept);
}

namespace {

// Copies n bytes into out; MemoryError when they do not fit in memory.
bool copy_bytes(const void* data, std::size_t n, ByteString& out) noexcept {
  try {
    auto* p = static_cast<const std::uint8_t*>(data);
    out.assign(p, p + n);
    return true;
  } catch (...) {
    PyErr_NoMemory();
    return false;
  }
}

}  // namespace

bool to_byte_data(PyObject* value, ByteString& out) noexcept {
  if (PyBytes_Check(value))
    return copy_bytes(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)), out);
  if (PyUnicode_Check(value)) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(value, &n);
    if (!s) return false;
    return copy_bytes(s, static_cast<std::size_t>(n), out);
  }
  py::Ref view = py::Ref::steal(PyMemoryView_FromObject(value));
  if (!view) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(value)));
      const char* t = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
      if (!t) {
        PyErr_Clear();
        t = "?";
      }
      PyErr_Format(PyExc_TypeError, "a bytes-like object or str is required, not '%s'", t);
    }
    return false;
  }
  Py_buffer* buf = PyMemoryView_GET_BUFFER(view.get());
  try {
    out.resize(static_cast<std::size_t>(buf->len));
  } catch (...) {
    PyErr_NoMemory();
    return false;
  }
  return PyBuffer_ToContiguous(out.data(), buf, buf->len, 'C') == 0;
}

PyObject* serial_for_url_impl(PyObject* cls, const char* fname, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return py::guard([&]() -> PyObject* {
    nargs = PyVectorcall_NARGS(nargs);
    PyObject* url = nargs > 0 ? args[0] : nullptr;
    PyObject* do_not_open = nullptr;
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, i);
      PyObject* value = args[nargs + i];
      if (PyUnicode_CompareWithASCIIString(key, "url") == 0) {
        if (url) {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'url'", fname);
          return nullptr;
        }
        url = value;
      } else if (PyUnicode_CompareWithASCIIString(key, "do_not_open") == 0) {
        do_not_open = value;
      } else if (PyDict_SetItem(kwargs.get(), key, value) < 0) {
        return nullptr;
      }
    }
    if (!url) {
      PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'url'", fname);
      return nullptr;
    }
    bool no_open = false;
    if (do_not_open && !noted(convert_truth(do_not_open, no_open), "do_not_open")) return nullptr;

    if (PyUnicode_Check(url)) {
      py::Ref lower = py::Ref::steal(
          PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", url));
      if (!lower) return nullptr;
      py::Ref sep = py::str("://");
      if (!sep) return nullptr;
      Py_ssize_t at = PyUnicode_Find(lower.get(), sep.get(), 0, PyUnicode_GET_LENGTH(lower.get()), 1);
      if (at == -2) return nullptr;
      if (at >= 0) {
        py::Ref scheme = py::Ref::steal(PyUnicode_Substring(lower.get(), 0, at));
        if (!scheme) return nullptr;
        if (PyUnicode_CompareWithASCIIString(scheme.get(), "loop") != 0 &&
            PyUnicode_CompareWithASCIIString(scheme.get(), "socket") != 0 &&
            PyUnicode_CompareWithASCIIString(scheme.get(), "rfc2217") != 0) {
          PyErr_Format(PyExc_ValueError, "invalid URL, protocol %R not known", scheme.get());
          return nullptr;
        }
      }
    }

    // The constructor gets None as the port, so it opens nothing.
    py::Ref ctor_args = py::Ref::steal(PyTuple_New(nargs > 0 ? nargs : 1));
    if (!ctor_args) return nullptr;
    PyTuple_SET_ITEM(ctor_args.get(), 0, Py_NewRef(Py_None));
    for (Py_ssize_t i = 1; i < nargs; ++i) PyTuple_SET_ITEM(ctor_args.get(), i, Py_NewRef(args[i]));
    py::Ref instance = py::Ref::steal(PyObject_Call(cls, ctor_args.get(), kwargs.get()));
    if (!instance) return nullptr;
    if (PyObject_SetAttrString(instance.get(), "port", url) < 0) return nullptr;
    if (!no_open) {
      py::Ref r = py::Ref::steal(PyObject_CallMethod(instance.get(), "open", nullptr));
      if (!r) return nullptr;
    }
    return instance.release();
  });
}

}  // namespace corvalink::serial

namespace corvalink {

int add_serial_classes(PyObject* module) {
  if (py::add_class(module, serial::serial_base_type()) < 0) return -1;
  return py::add_class(module, serial::serial_type());
}

int add_serial_for_url(PyObject* module) { return py::add_function(module, &serial::serial_for_url_def); }

int add_aio_serial(PyObject* aio) {
  if (py::add_class(aio, serial::aio_serial_type()) < 0) return -1;
  return py::add_function(aio, &serial::aio_serial_for_url_def);
}

}  // namespace corvalink

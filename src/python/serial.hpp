// The Python port classes: SerialBase (settings, control lines, open and
// close), the blocking Serial, serial_for_url, and the conversions between
// Python values and PortSettings that both port classes share.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/operation.hpp"
#include "python/python.hpp"
#include "engine/settings.hpp"

namespace corvalink {

class PortHandle;

// Module hooks (called by the module body).
int add_serial_classes(PyObject* module);
int add_serial_for_url(PyObject* module);
// corvalink.aio: Serial, then serial_for_url.
int add_aio_serial(PyObject* aio);

namespace serial {

// --- the instance layout shared by SerialBase and its subclasses ---

struct SerialObject {
  PyObject_HEAD
  // Set by tp_new, never changed afterwards, so reading it needs no lock.
  std::shared_ptr<PortHandle> handle;
  // Taken by everything that opens, closes or renames the port from Python
  // (open, close, the port setter, __init__), so that a port change is one
  // step for the others. Held only around engine calls, with the thread
  // detached; never while Python code runs.
  std::mutex lifecycle;
};

// Borrowed references to the process-wide classes (null with an exception
// if a class could not be built).
PyObject* serial_base_type() noexcept;
PyObject* serial_type() noexcept;
PyObject* aio_serial_type() noexcept;

// tp_new shared by the constructible subclasses: ignores its arguments and
// makes a fresh PortHandle with default settings.
PyObject* serial_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// The instance's handle (a new reference to it).
inline std::shared_ptr<PortHandle> handle_of(PyObject* self) noexcept {
  return reinterpret_cast<SerialObject*>(self)->handle;
}
inline PortHandle& port_of(PyObject* self) noexcept { return *reinterpret_cast<SerialObject*>(self)->handle; }
// The instance's handle, borrowed: valid while the caller holds self.
inline const std::shared_ptr<PortHandle>& handle_ref(PyObject* self) noexcept {
  return reinterpret_cast<SerialObject*>(self)->handle;
}

// --- argument parsing with the interpreter's messages for Python functions ---

// Binds positional and keyword arguments to the named parameters. `fname` is
// the function's display name ("Serial.read"); `self_counts` adds the
// instance to the positional counts of the messages, as a method defined in
// Python would. Missing optional arguments stay null. Returns false with a
// TypeError set.
bool bind_args(const char* fname, std::span<const char* const> names, std::size_t required, bool self_counts,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept;
// The same for a tuple and an optional dict (tp_init).
bool bind_args_tuple(const char* fname, std::span<const char* const> names, std::size_t required,
                     bool self_counts, PyObject* args, PyObject* kwargs, PyObject** out) noexcept;

// --- settings conversions (each returns false with the exception set) ---

// Short float form used in messages: "3.0", "1e16", "1.5e-7", "NaN", "inf".
std::string short_float(double x);

bool convert_baudrate(PyObject* value, std::uint32_t& out) noexcept;
bool convert_bytesize(PyObject* value, std::uint8_t& out) noexcept;
// Type check only (a str); the letter is checked by check_parity.
bool convert_parity(PyObject* value, std::string& out) noexcept;
bool check_parity(std::string_view letter, Parity& out) noexcept;
// The interpreter's float conversion; its exception propagates.
bool convert_float(PyObject* value, double& out) noexcept;
bool check_stopbits(double value, StopBits& out) noexcept;
// The kind conversion (None, int, float) of a length of time in seconds; a
// value that is none of them raises "Not a valid <what>: <repr>".
bool convert_seconds(PyObject* value, TimeoutValue& out, std::string_view what) noexcept;
// convert_seconds for a timeout; the range is checked by check_timeout.
bool convert_timeout(PyObject* value, TimeoutValue& out) noexcept;
bool check_timeout(const TimeoutValue& value) noexcept;
// None → nullopt, otherwise the truth value.
bool convert_optional_truth(PyObject* value, std::optional<bool>& out) noexcept;
bool convert_truth(PyObject* value, bool& out) noexcept;

py::Ref stopbits_to_python(StopBits s) noexcept;
py::Ref parity_to_python(Parity p) noexcept;
py::Ref timeout_to_python(const TimeoutValue& t) noexcept;
py::Ref optional_bool_to_python(std::optional<bool> b) noexcept;
// The ten-key dictionary of get_settings.
py::Ref settings_to_dict(const PortSettings& s) noexcept;

// The settings present in an apply_settings dictionary.
struct SettingsPatch {
  std::optional<std::uint32_t> baudrate;
  std::optional<std::uint8_t> bytesize;
  std::optional<Parity> parity;
  std::optional<StopBits> stopbits;
  std::optional<bool> xonxoff;
  bool has_dsrdtr = false;
  std::optional<bool> dsrdtr;  // present but empty: follow rtscts in force before
  std::optional<bool> rtscts;
  std::optional<TimeoutValue> timeout;
  std::optional<TimeoutValue> write_timeout;
  std::optional<TimeoutValue> inter_byte_timeout;

  // Writes the present fields into s (dsrdtr None takes s.rtscts first).
  void apply_to(PortSettings& s) const noexcept;
};
// Reads and converts the dictionary form through d.get(key, sentinel).
bool read_settings_patch(PyObject* d, SettingsPatch& out) noexcept;

// --- operations on the handle used by both port classes ---

// The settings update (detached); raises on a configure failure.
bool update_settings(PortHandle& handle, const PortSettings& next) noexcept;
// The port-name change of self (detached, under its lifecycle lock): close,
// store, reopen if it was open.
bool change_port(PyObject* self, std::optional<std::string> name) noexcept;

// Byte data: bytes, then str as UTF-8, then any buffer. No argument note.
bool to_byte_data(PyObject* value, ByteString& out) noexcept;

// serial_for_url for the class cls (vectorcall arguments); fname names the
// function in argument errors.
PyObject* serial_for_url_impl(PyObject* cls, const char* fname, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;

}  // namespace serial
}  // namespace corvalink

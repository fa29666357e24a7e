// Argument binding with the interpreter's messages, and the conversions
// between Python values and PortSettings, shared by the port classes and
// RS485Settings (serial_settings.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/settings.hpp"
#include "python/python.hpp"

namespace corvalink::serial {

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

}  // namespace corvalink::serial

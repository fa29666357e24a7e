// Python values ↔ PortSettings: the conversions with their exact messages,
// the dictionary form of get_settings / apply_settings, and the argument
// binder used by the port classes.

#include <charconv>
#include <cmath>
#include <format>
#include <limits>

#include "python/serial_settings.hpp"

namespace corvalink::serial {

namespace {

// Sets an exception of the given type with the whole of msg as its text
// (PyErr_SetString would stop at an embedded NUL).
void set_error(PyObject* type, std::string_view msg) noexcept {
  py::Ref text = py::str(msg);
  if (text) PyErr_SetObject(type, text.get());
}

template <class... Args>
void value_error(std::format_string<Args...> fmt, Args&&... args) noexcept {
  try {
    set_error(PyExc_ValueError, std::format(fmt, std::forward<Args>(args)...));
  } catch (...) {
    PyErr_NoMemory();
  }
}

// ValueError "{prefix}{repr(value)}", with the pending conversion error
// discarded first.
void invalid_with_repr(std::string_view prefix, PyObject* value) noexcept {
  PyErr_Clear();
  try {
    std::string msg(prefix);
    msg += py::repr_or_unprintable(value);
    set_error(PyExc_ValueError, msg);
  } catch (...) {
    PyErr_NoMemory();
  }
}

}  // namespace

std::string short_float(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buf[64];
  double ax = std::fabs(x);
  if (x == 0.0 || (ax >= 1e-4 && ax < 1e16)) {
    auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
    std::string s(buf, r.ptr);
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
  }
  auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string s(buf, r.ptr);
  // "1.5e-07" → "1.5e-7", "1e+16" → "1e16".
  auto e = s.find('e');
  std::string mantissa = s.substr(0, e);
  std::string exponent = s.substr(e + 1);
  bool negative = !exponent.empty() && exponent[0] == '-';
  if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) exponent.erase(0, 1);
  auto nz = exponent.find_first_not_of('0');
  exponent = nz == std::string::npos ? "0" : exponent.substr(nz);
  return mantissa + "e" + (negative ? "-" : "") + exponent;
}

bool convert_baudrate(PyObject* value, std::uint32_t& out) noexcept {
  py::Ref as_int = py::Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyLong_Type), value));
  long long n = 0;
  if (as_int) {
    int overflow = 0;
    n = PyLong_AsLongLongAndOverflow(as_int.get(), &overflow);
    if (overflow != 0 || (n == -1 && PyErr_Occurred())) as_int.reset();
  }
  if (!as_int) {
    invalid_with_repr("Not a valid baudrate: ", value);
    return false;
  }
  if (n < 0 || n > 4294967295LL) {
    value_error("Not a valid baudrate: {}", n);
    return false;
  }
  out = static_cast<std::uint32_t>(n);
  return true;
}

bool convert_bytesize(PyObject* value, std::uint8_t& out) noexcept {
  double d = PyFloat_AsDouble(value);
  bool failed = d == -1.0 && PyErr_Occurred();
  if (failed || std::trunc(d) != d || !std::isfinite(d)) {
    invalid_with_repr("Not a valid byte size: ", value);
    return false;
  }
  long long n;
  if (d >= 9223372036854775807.0)
    n = std::numeric_limits<long long>::max();
  else if (d <= -9223372036854775808.0)
    n = std::numeric_limits<long long>::min();
  else
    n = static_cast<long long>(d);
  if (n < 5 || n > 8) {
    value_error("Not a valid byte size: {}", n);
    return false;
  }
  out = static_cast<std::uint8_t>(n);
  return true;
}

bool convert_parity(PyObject* value, std::string& out) noexcept { return py::to_string(value, out, "str"); }

bool check_parity(std::string_view letter, Parity& out) noexcept {
  static constexpr std::string_view kLetters = "NEOMS";
  if (letter.size() == 1) {
    auto i = kLetters.find(letter[0]);
    if (i != std::string_view::npos) {
      out = static_cast<Parity>(i);
      return true;
    }
  }
  value_error("Not a valid parity: '{}'", letter);
  return false;
}

bool convert_float(PyObject* value, double& out) noexcept {
  double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred()) return false;
  out = d;
  return true;
}

bool check_stopbits(double value, StopBits& out) noexcept {
  if (value == 1.0) {
    out = StopBits::One;
  } else if (value == 1.5) {
    out = StopBits::OnePointFive;
  } else if (value == 2.0) {
    out = StopBits::Two;
  } else {
    try {
      value_error("Not a valid stop bit size: {}", short_float(value));
    } catch (...) {
      PyErr_NoMemory();
    }
    return false;
  }
  return true;
}

bool convert_seconds(PyObject* value, TimeoutValue& out, std::string_view what) noexcept {
  if (value == Py_None) {
    out = TimeoutValue::none();
    return true;
  }
  if (PyLong_Check(value)) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0 && !(n == -1 && PyErr_Occurred())) {
      out = TimeoutValue::integer(n);
      return true;
    }
    PyErr_Clear();  // beyond 64 bits: taken as a float
  }
  double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred()) {
    try {
      invalid_with_repr(std::format("Not a valid {}: ", what), value);
    } catch (...) {
      PyErr_NoMemory();
    }
    return false;
  }
  out = TimeoutValue::floating(d);
  return true;
}

bool convert_timeout(PyObject* value, TimeoutValue& out) noexcept { return convert_seconds(value, out, "timeout"); }

bool check_timeout(const TimeoutValue& value) noexcept {
  switch (value.kind()) {
    case TimeoutValue::Kind::None:
      return true;
    case TimeoutValue::Kind::Integer:
      if (value.as_integer() < 0) {
        value_error("Not a valid timeout: {}", value.as_integer());
        return false;
      }
      return true;
    case TimeoutValue::Kind::Float:
      if (value.as_float() < 0 || std::isnan(value.as_float())) {
        try {
          value_error("Not a valid timeout: {}", short_float(value.as_float()));
        } catch (...) {
          PyErr_NoMemory();
        }
        return false;
      }
      return true;
  }
  return true;
}

bool convert_truth(PyObject* value, bool& out) noexcept {
  int t = py::truth(value);
  if (t < 0) return false;
  out = t != 0;
  return true;
}

bool convert_optional_truth(PyObject* value, std::optional<bool>& out) noexcept {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  bool b = false;
  if (!convert_truth(value, b)) return false;
  out = b;
  return true;
}

py::Ref stopbits_to_python(StopBits s) noexcept {
  switch (s) {
    case StopBits::One:
      return py::Ref::steal(PyLong_FromLong(1));
    case StopBits::OnePointFive:
      return py::Ref::steal(PyFloat_FromDouble(1.5));
    case StopBits::Two:
      return py::Ref::steal(PyLong_FromLong(2));
  }
  return {};
}

py::Ref parity_to_python(Parity p) noexcept {
  char c = parity_letter(p);
  return py::Ref::steal(PyUnicode_FromStringAndSize(&c, 1));
}

py::Ref timeout_to_python(const TimeoutValue& t) noexcept {
  switch (t.kind()) {
    case TimeoutValue::Kind::None:
      return py::Ref::borrow(Py_None);
    case TimeoutValue::Kind::Integer:
      return py::Ref::steal(PyLong_FromLongLong(t.as_integer()));
    case TimeoutValue::Kind::Float:
      return py::Ref::steal(PyFloat_FromDouble(t.as_float()));
  }
  return {};
}

py::Ref optional_bool_to_python(std::optional<bool> b) noexcept {
  if (!b) return py::Ref::borrow(Py_None);
  return py::Ref::borrow(*b ? Py_True : Py_False);
}

py::Ref settings_to_dict(const PortSettings& s) noexcept {
  py::Ref d = py::Ref::steal(PyDict_New());
  if (!d) return {};
  auto put = [&](const char* key, py::Ref value) {
    return value && PyDict_SetItemString(d.get(), key, value.get()) == 0;
  };
  auto flag = [](bool b) { return py::Ref::borrow(b ? Py_True : Py_False); };
  if (!put("baudrate", py::Ref::steal(PyLong_FromUnsignedLong(s.baudrate))) ||
      !put("bytesize", py::Ref::steal(PyLong_FromLong(s.bytesize))) || !put("parity", parity_to_python(s.parity)) ||
      !put("stopbits", stopbits_to_python(s.stopbits)) || !put("xonxoff", flag(s.xonxoff)) ||
      !put("dsrdtr", flag(s.dsrdtr)) || !put("rtscts", flag(s.rtscts)) ||
      !put("timeout", timeout_to_python(s.timeout)) || !put("write_timeout", timeout_to_python(s.write_timeout)) ||
      !put("inter_byte_timeout", timeout_to_python(s.inter_byte_timeout)))
    return {};
  return d;
}

void SettingsPatch::apply_to(PortSettings& s) const noexcept {
  if (baudrate) s.baudrate = *baudrate;
  if (bytesize) s.bytesize = *bytesize;
  if (parity) s.parity = *parity;
  if (stopbits) s.stopbits = *stopbits;
  if (xonxoff) s.xonxoff = *xonxoff;
  // dsrdtr None follows the rtscts in force before this update, so it is
  // resolved before rtscts is written.
  if (has_dsrdtr) s.dsrdtr = dsrdtr.value_or(s.rtscts);
  if (rtscts) s.rtscts = *rtscts;
  if (timeout) s.timeout = *timeout;
  if (write_timeout) s.write_timeout = *write_timeout;
  if (inter_byte_timeout) s.inter_byte_timeout = *inter_byte_timeout;
}

bool read_settings_patch(PyObject* d, SettingsPatch& out) noexcept {
  py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return false;
  py::Ref object_type = py::Ref::steal(PyObject_GetAttrString(builtins.get(), "object"));
  if (!object_type) return false;
  py::Ref sentinel = py::Ref::steal(PyObject_CallNoArgs(object_type.get()));
  if (!sentinel) return false;
  py::Ref get_name = py::str("get");
  if (!get_name) return false;

  // Returns false on error; value stays null when the key is absent.
  auto fetch = [&](const char* key, py::Ref& value) -> bool {
    py::Ref k = py::str(key);
    if (!k) return false;
    PyObject* args[] = {d, k.get(), sentinel.get()};
    value = py::Ref::steal(
        PyObject_VectorcallMethod(get_name.get(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!value) return false;
    if (value.get() == sentinel.get()) value.reset();
    return true;
  };
  auto timeout = [&](const char* key, std::optional<TimeoutValue>& field) -> bool {
    py::Ref v;
    if (!fetch(key, v)) return false;
    if (!v) return true;
    TimeoutValue t;
    if (!convert_timeout(v.get(), t) || !check_timeout(t)) return false;
    field = t;
    return true;
  };
  auto flag = [&](const char* key, std::optional<bool>& field) -> bool {
    py::Ref v;
    if (!fetch(key, v)) return false;
    if (!v) return true;
    bool b = false;
    if (!convert_truth(v.get(), b)) return false;
    field = b;
    return true;
  };

  py::Ref v;
  if (!fetch("baudrate", v)) return false;
  if (v) {
    std::uint32_t b = 0;
    if (!convert_baudrate(v.get(), b)) return false;
    out.baudrate = b;
  }
  if (!fetch("bytesize", v)) return false;
  if (v) {
    std::uint8_t b = 0;
    if (!convert_bytesize(v.get(), b)) return false;
    out.bytesize = b;
  }
  if (!fetch("parity", v)) return false;
  if (v) {
    std::string letter;
    Parity p{};
    if (!convert_parity(v.get(), letter) || !check_parity(letter, p)) return false;
    out.parity = p;
  }
  if (!fetch("stopbits", v)) return false;
  if (v) {
    double x = 0;
    StopBits s{};
    if (!convert_float(v.get(), x) || !check_stopbits(x, s)) return false;
    out.stopbits = s;
  }
  if (!flag("xonxoff", out.xonxoff)) return false;
  if (!fetch("dsrdtr", v)) return false;
  if (v) {
    out.has_dsrdtr = true;
    if (!convert_optional_truth(v.get(), out.dsrdtr)) return false;
  }
  if (!flag("rtscts", out.rtscts)) return false;
  return timeout("timeout", out.timeout) && timeout("write_timeout", out.write_timeout) &&
         timeout("inter_byte_timeout", out.inter_byte_timeout);
}

// --- argument binding ---

namespace {

void raise_type_error(const std::string& msg) noexcept { set_error(PyExc_TypeError, msg); }

bool bind_impl(const char* fname, std::span<const char* const> names, std::size_t required, bool self_counts,
               PyObject* const* args, Py_ssize_t nargs, std::span<PyObject* const> kw_names,
               std::span<PyObject* const> kw_values, PyObject** out) noexcept {
  try {
    std::size_t n = names.size();
    std::size_t extra = self_counts ? 1 : 0;
    for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;
    if (static_cast<std::size_t>(nargs) > n) {
      std::size_t max = n + extra, min = required + extra, given = static_cast<std::size_t>(nargs) + extra;
      std::string takes = min == max ? std::format("{} positional argument{}", max, max == 1 ? "" : "s")
                                     : std::format("from {} to {} positional arguments", min, max);
      raise_type_error(
          std::format("{}() takes {} but {} {} given", fname, takes, given, given == 1 ? "was" : "were"));
      return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (std::size_t k = 0; k < kw_names.size(); ++k) {
      PyObject* key = kw_names[k];
      Py_ssize_t len = 0;
      const char* chars = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
      if (!chars) {
        PyErr_Clear();
        raise_type_error(std::format("{}() keywords must be strings", fname));
        return false;
      }
      // Compared with its length: a name with an embedded NUL matches nothing.
      std::string_view s(chars, static_cast<std::size_t>(len));
      std::size_t i = 0;
      while (i < n && s != names[i]) ++i;
      if (i == n) {
        raise_type_error(std::format("{}() got an unexpected keyword argument '{}'", fname, s));
        return false;
      }
      if (out[i]) {
        raise_type_error(std::format("{}() got multiple values for argument '{}'", fname, s));
        return false;
      }
      out[i] = kw_values[k];
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < required; ++i)
      if (!out[i]) missing.push_back(names[i]);
    if (!missing.empty()) {
      std::string list;
      for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) list += i + 1 == missing.size() ? (missing.size() > 2 ? ", and " : " and ") : ", ";
        list += std::format("'{}'", missing[i]);
      }
      raise_type_error(std::format("{}() missing {} required positional argument{}: {}", fname, missing.size(),
                                   missing.size() == 1 ? "" : "s", list));
      return false;
    }
    return true;
  } catch (...) {
    PyErr_NoMemory();
    return false;
  }
}

}  // namespace

bool bind_args(const char* fname, std::span<const char* const> names, std::size_t required, bool self_counts,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept {
  nargs = PyVectorcall_NARGS(nargs);
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  std::span<PyObject* const> keys, values;
  if (nkw > 0) {
    keys = {&PyTuple_GET_ITEM(kwnames, 0), static_cast<std::size_t>(nkw)};
    values = {args + nargs, static_cast<std::size_t>(nkw)};
  }
  return bind_impl(fname, names, required, self_counts, args, nargs, keys, values, out);
}

bool bind_args_tuple(const char* fname, std::span<const char* const> names, std::size_t required,
                     bool self_counts, PyObject* args, PyObject* kwargs, PyObject** out) noexcept {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  std::vector<PyObject*> keys, values;
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    // The dict belongs to this call alone, so iterating it needs no lock.
    try {
      auto n = static_cast<std::size_t>(PyDict_GET_SIZE(kwargs));
      keys.reserve(n);
      values.reserve(n);
      while (PyDict_Next(kwargs, &pos, &k, &v)) {
        keys.push_back(k);
        values.push_back(v);
      }
    } catch (...) {
      PyErr_NoMemory();
      return false;
    }
  }
  return bind_impl(fname, names, required, self_counts, nargs ? &PyTuple_GET_ITEM(args, 0) : nullptr, nargs, keys,
                   values, out);
}

}  // namespace corvalink::serial

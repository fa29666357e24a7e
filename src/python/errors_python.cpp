#include "python/errors_python.hpp"

#include <cstdio>
#include <cstdlib>

namespace corvalink {

namespace {

// Exception classes are made once per process and never released; a failure
// to make one is an internal fault.
PyObject* exception_class(py::OnceCell& cell, const char* qualified_name, const char* doc,
                          PyObject* base) noexcept {
  return cell.get_or_init([&]() -> PyObject* {
    if (!base) return nullptr;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified_name, doc, base, nullptr);
    if (!type) {
      PyErr_Clear();
      py::raise_panic("Failed to initialize new exception type.");
    }
    return type;
  });
}

py::OnceCell serial_exception_cell;
py::OnceCell timeout_cell;
py::OnceCell not_open_cell;
py::OnceCell panic_cell;
py::OnceCell cancelled_cell;

}  // namespace

PyObject* serial_exception_type() noexcept {
  return exception_class(serial_exception_cell, "corvalink.SerialException",
                         "A port operation failed: the port could not be opened or configured, the "
                         "device or the connection went away, or a system call failed. When the "
                         "system gave an error code, it is in `errno` (and `winerror` on Windows).",
                         PyExc_OSError);
}
PyObject* serial_timeout_exception_type() noexcept {
  return exception_class(timeout_cell, "corvalink.SerialTimeoutException",
                         "A write did not finish within the port's `write_timeout`.", serial_exception_type());
}
PyObject* port_not_open_error_type() noexcept {
  return exception_class(not_open_cell, "corvalink.PortNotOpenError",
                         "The port is not open: it was never opened, or it was closed (by `close`, or "
                         "after the device went away).", serial_exception_type());
}

PyObject* panic_exception_type() noexcept {
  // Not through exception_class: a failure here must not recurse into
  // raise_panic.
  return panic_cell.get_or_init([]() -> PyObject* {
    return PyErr_NewExceptionWithDoc(
        "corvalink.PanicException",
        "An internal fault of corvalink (a violated invariant). It derives from BaseException so that "
        "ordinary exception handlers do not swallow it.",
        PyExc_BaseException, nullptr);
  });
}

PyObject* cancelled_error_type() noexcept {
  return cancelled_cell.get_or_init([]() -> PyObject* {
    py::Ref asyncio = py::Ref::steal(PyImport_ImportModule("asyncio"));
    if (!asyncio) return nullptr;
    return PyObject_GetAttrString(asyncio.get(), "CancelledError");
  });
}

namespace {

py::Ref bare_exception(const PortError& error) noexcept {
  PyObject* type = nullptr;
  switch (error.kind()) {
    case ErrorKind::Failure:
      type = serial_exception_type();
      if (type && error.code()) {
        // The OSError form (errno, strerror, filename, winerror).
        py::Ref msg = py::str(error.text());
        py::Ref code = py::Ref::steal(PyLong_FromLong(*error.code()));
        if (!msg || !code) return {};
        py::Ref exc =
            py::Ref::steal(PyObject_CallFunctionObjArgs(type, Py_None, msg.get(), Py_None, code.get(), nullptr));
#ifndef _WIN32
        // Only Windows derives errno from the fourth argument; elsewhere the
        // code is the errno itself, so set it (str() then shows it too).
        if (exc && PyObject_SetAttrString(exc.get(), "errno", code.get()) < 0) return {};
#endif
        return exc;
      }
      break;
    case ErrorKind::Timeout:
      type = serial_timeout_exception_type();
      break;
    case ErrorKind::NotOpen:
      type = port_not_open_error_type();
      break;
    case ErrorKind::AlreadyOpen:
    case ErrorKind::NotConfigured:
    case ErrorKind::Forked:
      type = serial_exception_type();
      break;
    case ErrorKind::InvalidValue:
      type = PyExc_ValueError;
      break;
    case ErrorKind::Cancelled: {
      PyObject* cancelled = cancelled_error_type();
      if (!cancelled) return {};
      return py::Ref::steal(PyObject_CallNoArgs(cancelled));
    }
  }
  if (!type) return {};
  py::Ref msg = py::str(error.text());
  if (!msg) return {};
  return py::Ref::steal(PyObject_CallOneArg(type, msg.get()));
}

}  // namespace

py::Ref to_python_exception(const PortError& error) noexcept {
  py::Ref exc = bare_exception(error);
  if (!exc || error.note().empty()) return exc;
  py::Ref note = py::str(error.note());
  if (!note) return {};
  py::Ref added = py::Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
  if (!added) return {};
  return exc;
}

namespace py {

void raise(const PortError& error) noexcept {
  Ref exc = to_python_exception(error);
  if (!exc) return;  // the failure to build it is the pending exception
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

void raise_panic(const char* message) noexcept {
  static thread_local bool reporting = false;
  if (reporting) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  reporting = true;
  PyObject* type = panic_exception_type();
  if (type) {
    PyErr_SetString(type, message);
  } else {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  reporting = false;
}

}  // namespace py
}  // namespace corvalink

// The Python port classes: SerialBase (settings, control lines, open and
// close), the blocking Serial and serial_for_url.
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
#include "engine/settings.hpp"
#include "python/python.hpp"
#include "python/serial_settings.hpp"

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

// The Python face of the error values: the exception classes and the one
// mapping from PortError to a Python exception.
#pragma once

#include "python/python.hpp"

namespace corvalink {

// Process-wide classes, created on first call; borrowed references (null
// with an exception set only if creation failed, which is an internal fault
// reported as PanicException).
PyObject* serial_exception_type() noexcept;
PyObject* serial_timeout_exception_type() noexcept;
PyObject* port_not_open_error_type() noexcept;
PyObject* panic_exception_type() noexcept;
// asyncio.CancelledError, imported once per process.
PyObject* cancelled_error_type() noexcept;

// A new exception instance for the error (needs an attached thread).
py::Ref to_python_exception(const PortError& error) noexcept;

}  // namespace corvalink

namespace corvalink {
// The Baudrate IntEnum, built once per process (borrowed reference).
PyObject* baudrate_type() noexcept;
}  // namespace corvalink

// corvalink.rs485: RS485Settings, the immutable value that
// SerialBase.rs485_mode takes and gives back.
#pragma once

#include <optional>

#include "python/python.hpp"
#include "engine/settings.hpp"

namespace corvalink {

// Adds RS485Settings to the corvalink.rs485 module. 0, or -1 with an exception.
int add_rs485_members(PyObject* module);

namespace rs485 {

// The class (borrowed; null with an exception if it could not be built).
PyObject* settings_type() noexcept;
// None → no mode; an RS485Settings → its value; anything else raises the
// wrong-type TypeError.
bool from_python(PyObject* value, std::optional<Rs485Settings>& out) noexcept;
// No mode → None; a mode → a new RS485Settings equal to the one it came from.
py::Ref to_python(const std::optional<Rs485Settings>& mode) noexcept;

}  // namespace rs485
}  // namespace corvalink

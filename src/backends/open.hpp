// Which backend a port gets: the loopback for "loop://", the network
// backend for "socket://" and "rfc2217://", the platform's device backend for
// any other name. The engine is handed open_backend (PortHandle::open) and
// knows none of them.
#pragma once

#include <optional>
#include <string_view>

#include "engine/backend.hpp"

namespace corvalink {

// Refuses a mode other than none on a platform without RS-485 direction
// control (Windows), so that a closed port refuses it too rather than the
// next open.
Status check_rs485_support(const std::optional<Rs485Settings>& mode);
// The same for the low-latency flag (Linux drivers only; refused on Windows).
Status check_low_latency_support(std::optional<bool> wanted);

// "loop://" (ASCII case-insensitive prefix) selects the loopback,
// "socket://" and "rfc2217://" a network port (net.hpp), "trace://" the
// tracing wrapper around the port the rest names (trace.hpp); any other name
// opens the platform's device backend and configures it. A device that
// cannot be opened gives "could not open port '{name}': {OS text}".
Result<BackendPtr> open_backend(std::string_view name, const PortSettings& settings, bool rts, bool dtr);

}  // namespace corvalink

#include "backends/open.hpp"

#include <format>

#include "backends/loopback/loopback.hpp"  // LoopbackBackend
#include "backends/net/net.hpp"            // socket:// and rfc2217://
#include "backends/trace/trace.hpp"        // trace://, around any of these
#ifdef _WIN32
#include "backends/windows/overlapped.hpp"  // COM ports
#else
#include "backends/posix/posix.hpp"  // terminal devices
#endif

namespace corvalink {

namespace {
bool is_loop_url(std::string_view name) {
  constexpr std::string_view prefix = "loop://";
  if (name.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// The platform's device backend: opens the device and applies settings, rts
// and dtr. Errors are the raw OS errors (open_backend adds the port name).
std::expected<BackendPtr, DeviceOpenError> open_device_backend(std::string_view name, const PortSettings& settings,
                                                               bool rts, bool dtr) {
#ifdef _WIN32
  return open_overlapped_backend(win32::system_comm(), name, settings, rts, dtr);
#else
  auto backend = PosixBackend::open(name, settings, rts, dtr);
  if (!backend) return std::unexpected(std::move(backend.error()));
  return BackendPtr(std::move(*backend));
#endif
}
}  // namespace

Status check_rs485_support(const std::optional<Rs485Settings>& mode) {
#if defined(_WIN32)
  if (mode) return fail(PortError::failure(std::string(kRs485Unsupported)));
#else
  (void)mode;
#endif
  return {};
}

Status check_low_latency_support(std::optional<bool> wanted) {
#if defined(_WIN32)
  if (wanted) return fail(PortError::failure(std::string(kLowLatencyUnsupported)));
#else
  (void)wanted;
#endif
  return {};
}

Result<BackendPtr> open_backend(std::string_view name, const PortSettings& settings, bool rts, bool dtr) {
  if (is_loop_url(name)) return BackendPtr(std::make_unique<LoopbackBackend>(rts, dtr));
  if (is_trace_url(name)) return open_trace_backend(name, settings, rts, dtr, &open_backend);
  if (is_net_url(name)) return open_net_backend(name, settings, rts, dtr);
  auto device = open_device_backend(name, settings, rts, dtr);
  if (device) return std::move(*device);
  if (device.error().configure_failed) return fail(std::move(device.error().error));
  const PortError& e = device.error().error;
  return fail(
      PortError::failure(std::format("could not open port '{}': {}", name, e.text()), e.code(), e.code_space()));
}

}  // namespace corvalink

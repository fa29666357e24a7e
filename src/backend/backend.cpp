#include "backend/backend.hpp"

#include <format>

#include "backend/loopback.hpp"  // LoopbackBackend
#include "backend/net.hpp"       // socket:// and rfc2217://

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
}  // namespace

Status check_rs485_support(const std::optional<Rs485Settings>& mode) {
#if defined(_WIN32)
  if (mode) return fail(PortError::failure(std::string(kRs485Unsupported)));
#else
  (void)mode;
#endif
  return {};
}

Result<BackendPtr> open_backend(std::string_view name, const PortSettings& settings, bool rts, bool dtr) {
  if (is_loop_url(name)) return BackendPtr(std::make_unique<LoopbackBackend>(rts, dtr));
  if (is_net_url(name)) return open_net_backend(name, settings, rts, dtr);
  auto device = open_device_backend(name, settings, rts, dtr);
  if (device) return std::move(*device);
  if (device.error().configure_failed) return fail(std::move(device.error().error));
  const PortError& e = device.error().error;
  return fail(
      PortError::failure(std::format("could not open port '{}': {}", name, e.text()), e.code(), e.code_space()));
}

}  // namespace corvalink

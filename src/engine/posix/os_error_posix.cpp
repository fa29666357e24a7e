// The operating system's error texts on POSIX systems: errno and strerror.
#include <cerrno>
#include <cstring>
#include <format>
#include <type_traits>

#include "engine/errors.hpp"

namespace corvalink {

std::string os_error_text(std::int32_t code) {
  // strerror_r in its GNU or XSI flavour; both fill or return a text.
  char buf[256] = {};
  auto r = ::strerror_r(code, buf, sizeof buf);
  if constexpr (std::is_same_v<decltype(r), char*>) {
    return r ? std::string(r) : std::format("Unknown error {}", code);
  } else {
    return r == 0 ? std::string(buf) : std::format("Unknown error {}", code);
  }
}

PortError last_os_error() { return from_os_error(errno); }

}  // namespace corvalink

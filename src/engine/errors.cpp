#include "engine/errors.hpp"

#include <cerrno>
#include <format>

namespace corvalink {

std::string PortError::text() const {
  switch (kind_) {
    case ErrorKind::Failure:
    case ErrorKind::Timeout:
    case ErrorKind::InvalidValue:
      return message_;
    case ErrorKind::NotOpen:
      return "Attempting to use a port that is not open";
    case ErrorKind::AlreadyOpen:
      return "Port is already open.";
    case ErrorKind::NotConfigured:
      return "Port must be configured before it can be used.";
    case ErrorKind::Cancelled:
      return "the operation was cancelled";
    case ErrorKind::Forked:
      return "corvalink cannot be used in a child process created by fork()";
  }
  return message_;
}

PortError from_os_error(std::int32_t code) {
  // The full display form of an OS error is "{text} (os error {code})"; the
  // message keeps only the text.
  std::string full = std::format("{} (os error {})", os_error_text(code), code);
  std::string suffix = std::format(" (os error {})", code);
  if (full.ends_with(suffix)) full.resize(full.size() - suffix.size());
  return PortError::failure(std::move(full), code);
}

PortError from_win32_error(std::uint32_t code, std::string text) {
  // Win32 codes are DWORDs; the error carries them as the signed 32-bit value.
  return PortError::failure(std::move(text), static_cast<std::int32_t>(code), CodeSpace::Win32);
}

PortError from_io_error(std::string text) { return PortError::failure(std::move(text)); }

bool is_fatal(const PortError& error) {
  if (error.kind() != ErrorKind::Failure) return false;
  if (error.is_connection_lost()) return true;
  if (auto code = error.code()) {
    if (error.code_space() == CodeSpace::Win32) {
      // ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_GEN_FAILURE, ERROR_DEVICE_REMOVED
      return *code == 5 || *code == 22 || *code == 31 || *code == 1617;
    }
    // These numbers mean other things in errno (22 is EINVAL); a vanished
    // device shows as EIO, ENXIO or ENODEV.
    return *code == EIO || *code == ENXIO || *code == ENODEV;
  }
  return error.text() == kNoDataMessage;
}

}  // namespace corvalink

// Error values of the port engine and their Python face.
//
// Inside the engine every failure is a PortError value: plain data, no Python
// objects, safe to create and move on any thread. Only at the point where a
// Python call returns is it turned into an exception (to_python_exception,
// implemented in errors_python.cpp together with the exception classes).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace corvalink {

enum class ErrorKind : std::uint8_t {
  Failure,
  Timeout,
  NotOpen,
  AlreadyOpen,
  NotConfigured,
  InvalidValue,
  Cancelled,
  Forked,
};

// Which numbering an OS error code follows: the C library's errno values or
// Win32's GetLastError values. is_fatal judges a code by where it came from,
// so a Windows backend's error means the same on every build.
enum class CodeSpace : std::uint8_t { Posix, Win32 };
#ifdef _WIN32
inline constexpr CodeSpace kNativeCodeSpace = CodeSpace::Win32;
#else
inline constexpr CodeSpace kNativeCodeSpace = CodeSpace::Posix;
#endif

inline constexpr std::string_view kNoDataMessage =
    "device reports readiness to read but returned no data "
    "(device disconnected or multiple access on port?)";

class PortError {
 public:
  static PortError failure(std::string message, std::optional<std::int32_t> code = std::nullopt,
                           CodeSpace space = kNativeCodeSpace) {
    return PortError(ErrorKind::Failure, std::move(message), code, space);
  }
  static PortError timeout(std::string message) { return PortError(ErrorKind::Timeout, std::move(message)); }
  static PortError invalid_value(std::string message) {
    return PortError(ErrorKind::InvalidValue, std::move(message));
  }
  static PortError not_open() { return PortError(ErrorKind::NotOpen); }
  static PortError already_open() { return PortError(ErrorKind::AlreadyOpen); }
  static PortError not_configured() { return PortError(ErrorKind::NotConfigured); }
  static PortError cancelled() { return PortError(ErrorKind::Cancelled); }
  static PortError forked() { return PortError(ErrorKind::Forked); }
  // A lost connection (a network port whose peer closed or reset it): a
  // Failure that is fatal whatever its code. A read that collected bytes
  // before it returns them, and the backend reports the loss again on the
  // next call.
  static PortError connection_lost(std::string message, std::optional<std::int32_t> code = std::nullopt,
                                   CodeSpace space = kNativeCodeSpace) {
    PortError e(ErrorKind::Failure, std::move(message), code, space);
    e.lost_ = true;
    return e;
  }

  // The peer ended the connection in order (it closed its side): a lost
  // connection as above, which a transport reports as the end of the input
  // rather than as an error.
  static PortError peer_closed(std::string message) {
    PortError e = connection_lost(std::move(message));
    e.orderly_ = true;
    return e;
  }

  ErrorKind kind() const noexcept { return kind_; }
  // The OS error code; only a Failure may carry one.
  std::optional<std::int32_t> code() const noexcept { return code_; }
  CodeSpace code_space() const noexcept { return space_; }
  bool is_connection_lost() const noexcept { return lost_; }
  bool is_peer_closed() const noexcept { return orderly_; }
  // The display form: the message for kinds that carry one, else the fixed text.
  std::string text() const;
  // A hint for the user, added to the Python exception as a note (empty: none).
  const std::string& note() const noexcept { return note_; }
  void add_note(std::string note) { note_ = std::move(note); }

  bool operator==(const PortError&) const = default;

 private:
  explicit PortError(ErrorKind kind, std::string message = {}, std::optional<std::int32_t> code = std::nullopt,
                     CodeSpace space = kNativeCodeSpace)
      : kind_(kind), message_(std::move(message)), code_(code), space_(space) {}

  ErrorKind kind_;
  std::string message_;
  std::optional<std::int32_t> code_;
  std::string note_;
  CodeSpace space_;
  bool lost_ = false;
  bool orderly_ = false;
};

// Every engine procedure returns one of these.
template <class T>
using Result = std::expected<T, PortError>;
using Status = std::expected<void, PortError>;

inline std::unexpected<PortError> fail(PortError e) { return std::unexpected<PortError>(std::move(e)); }

// The platform's text for an OS error code (strerror on POSIX, FormatMessageW
// on Windows), without any suffix.
std::string os_error_text(std::int32_t code);

// A failing OS call with its code: Failure with the OS text and the code.
PortError from_os_error(std::int32_t code);
// A failing Win32 call's code with the system's text for it (on any build:
// the Windows backend runs over a simulated layer in the tests).
PortError from_win32_error(std::uint32_t code, std::string text);
// An I/O error that has only a text: Failure with that text and no code.
PortError from_io_error(std::string text);
// The last OS error of this thread (errno / GetLastError).
PortError last_os_error();

// True when the error means the device is gone, so the port must be closed.
bool is_fatal(const PortError& error);

}  // namespace corvalink

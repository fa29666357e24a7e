#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "engine/errors.hpp"

namespace corvalink {
namespace {

TEST(PortError, DisplayTextPerKind) {
  struct Case {
    PortError error;
    const char* text;
  };
  const Case cases[] = {
      {PortError::failure("boom", 5), "boom"},
      {PortError::timeout("Write timeout"), "Write timeout"},
      {PortError::not_open(), "Attempting to use a port that is not open"},
      {PortError::already_open(), "Port is already open."},
      {PortError::not_configured(), "Port must be configured before it can be used."},
      {PortError::invalid_value("duration must be a non-negative number"), "duration must be a non-negative number"},
      {PortError::cancelled(), "the operation was cancelled"},
      {PortError::forked(), "corvalink cannot be used in a child process created by fork()"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.text(), c.text);
}

TEST(PortError, FromOsErrorKeepsTextAndCodeWithoutSuffix) {
  PortError e = from_os_error(ENOENT);
  EXPECT_EQ(e.kind(), ErrorKind::Failure);
  EXPECT_EQ(e.code(), ENOENT);
  EXPECT_EQ(e.text(), os_error_text(ENOENT));
  EXPECT_EQ(e.text().find("(os error"), std::string::npos);
  EXPECT_FALSE(e.text().empty());

  PortError plain = from_io_error("custom");
  EXPECT_EQ(plain.text(), "custom");
  EXPECT_FALSE(plain.code().has_value());
}

#ifdef _WIN32
TEST(PortError, WindowsTextsComeFromTheSystemWithoutTrailingSpace) {
  const std::string denied = os_error_text(5);
  EXPECT_FALSE(denied.empty());
  EXPECT_EQ(std::string_view(" \t\r\n\f").find(denied.back()), std::string_view::npos) << denied;
  // A code the system has no text for.
  EXPECT_TRUE(os_error_text(0x0FFFFFFF).starts_with("OS Error 268435455 (FormatMessageW() returned error "))
      << os_error_text(0x0FFFFFFF);
  EXPECT_EQ(from_os_error(5).code_space(), CodeSpace::Win32);
}
#endif

TEST(PortError, FatalErrorsAreDeviceGoneOnly) {
  std::string near_miss(kNoDataMessage);
  near_miss.back() = '!';
  auto posix = [](int code) { return PortError::failure("posix", code, CodeSpace::Posix); };
  auto windows = [](std::uint32_t code) { return from_win32_error(code, "windows"); };
  struct Case {
    PortError error;
    bool fatal;
  };
  // A code is judged by the numbering it came from, whatever the build.
  const Case cases[] = {
      {posix(EIO), true},
      {posix(ENXIO), true},
      {posix(ENODEV), true},
      {posix(ENOENT), false},
      // 22 names a Windows device error but is EINVAL in errno: not a vanished device.
      {posix(EINVAL), false},
      {posix(EAGAIN), false},
      // ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_GEN_FAILURE, ERROR_DEVICE_REMOVED
      {windows(5), true},
      {windows(22), true},
      {windows(31), true},
      {windows(1617), true},
      {windows(2), false},
      {windows(995), false},
      {PortError::failure(std::string(kNoDataMessage)), true},
      {PortError::failure(near_miss), false},
      // The no-data text with a code is an OS error, judged by its code.
      {PortError::failure(std::string(kNoDataMessage), ENOENT, CodeSpace::Posix), false},
      {PortError::timeout(std::string(kNoDataMessage)), false},
      {PortError::not_open(), false},
      {PortError::cancelled(), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_fatal(c.error), c.fatal) << c.error.text() << " " << c.error.code().value_or(0);
  }
}

}  // namespace
}  // namespace corvalink

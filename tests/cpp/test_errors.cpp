#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "errors.hpp"

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

TEST(PortError, FatalErrorsAreDeviceGoneOnly) {
  std::string near_miss(kNoDataMessage);
  near_miss.back() = '!';
  struct Case {
    PortError error;
    bool fatal;
  };
  const Case cases[] = {
      {from_os_error(EIO), true},
      {from_os_error(ENXIO), true},
      {from_os_error(ENODEV), true},
      {from_os_error(ENOENT), false},
      // 22 names a Windows device error but is EINVAL here: not a vanished device.
      {from_os_error(EINVAL), false},
      {from_os_error(EAGAIN), false},
      {PortError::failure(std::string(kNoDataMessage)), true},
      {PortError::failure(near_miss), false},
      // The no-data text with a code is an OS error, judged by its code.
      {PortError::failure(std::string(kNoDataMessage), ENOENT), false},
      {PortError::timeout(std::string(kNoDataMessage)), false},
      {PortError::not_open(), false},
      {PortError::cancelled(), false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_fatal(c.error), c.fatal) << c.error.text();
}

}  // namespace
}  // namespace corvalink

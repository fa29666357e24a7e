// The terminal backend's modem-line and RS-485 ioctls, over the simulated
// driver of tty_control_sim.hpp. The backend is opened on a pseudo-terminal,
// so everything else it does (termios, reads, the reactor) is the kernel's.
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>

#include "backend/posix.hpp"
#include "port.hpp"
#include "tty_control_sim.hpp"

namespace corvalink {
namespace {

using testing::SimulatedTtyControl;

class PtyPair {
 public:
  PtyPair() {
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    name_ = name;
  }
  ~PtyPair() {
    ::close(master_);
    ::close(slave_);
  }
  const std::string& name() const { return name_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string name_;
};

class LineFeatures : public ::testing::Test {
 protected:
  std::expected<std::unique_ptr<PosixBackend>, DeviceOpenError> open(const PortSettings& s = {}, bool rts = true,
                                                                     bool dtr = true) {
    return PosixBackend::open(pty.name(), s, rts, dtr, driver);
  }
  std::unique_ptr<PosixBackend> open_ok(const PortSettings& s = {}) {
    auto r = open(s);
    if (!r) {
      ADD_FAILURE() << r.error().error.text();
      return nullptr;
    }
    return std::move(*r);
  }

  PtyPair pty;
  SimulatedTtyControl driver;
};

// --- modem lines -------------------------------------------------------------

TEST_F(LineFeatures, LinesFollowTheSettingsAndReadWhatTheDriverHolds) {
  PortSettings s;
  auto port = open(s, true, false);
  ASSERT_TRUE(port);
  EXPECT_EQ(driver.lines, TIOCM_RTS);  // rts on, dtr off
  ASSERT_TRUE((*port)->set_dtr(true));
  ASSERT_TRUE((*port)->set_rts(false));
  EXPECT_EQ(driver.lines, TIOCM_DTR);

  driver.lines = TIOCM_CTS | TIOCM_CD;
  EXPECT_EQ((*port)->read_cts(), true);
  EXPECT_EQ((*port)->read_dsr(), false);
  EXPECT_EQ((*port)->read_ri(), false);
  EXPECT_EQ((*port)->read_cd(), true);

  // DTR stays asserted under dsrdtr; RTS is left to the flow control under rtscts.
  s.rtscts = true;
  s.dsrdtr = true;
  driver.lines = 0;
  ASSERT_TRUE((*port)->configure(s, true, false));
  EXPECT_EQ(driver.lines, TIOCM_DTR);
}

// A driver without modem-control lines answers ENOTTY (EINVAL on old
// kernels): the lines read False and setting them does nothing, on open,
// when reconfigured and when called.
TEST_F(LineFeatures, DriverWithoutLinesReadsFalseAndIgnoresSettingThem) {
  driver.has_modem_lines = false;
  for (int answer : {ENOTTY, EINVAL}) {
    SCOPED_TRACE(answer);
    driver.no_lines_answer = answer;
    auto port = open_ok();
    ASSERT_TRUE(port);
    EXPECT_EQ(port->read_cts(), false);
    EXPECT_EQ(port->read_dsr(), false);
    EXPECT_EQ(port->read_ri(), false);
    EXPECT_EQ(port->read_cd(), false);
    EXPECT_TRUE(port->set_rts(false));
    EXPECT_TRUE(port->set_dtr(false));
    EXPECT_TRUE(port->configure(PortSettings{}, false, false));
  }
}

// Any other failure of a line ioctl is reported, and one that means the
// device is gone closes the port.
TEST_F(LineFeatures, RealLineFailuresAreReported) {
  auto port = open_ok();
  ASSERT_TRUE(port);
  driver.fail_get_lines = EPERM;
  auto cts = port->read_cts();
  ASSERT_FALSE(cts);
  EXPECT_EQ(cts.error().code(), EPERM);
  driver.fail_set_lines = EPERM;
  auto rts = port->set_rts(false);
  ASSERT_FALSE(rts);
  EXPECT_EQ(rts.error().code(), EPERM);

  driver.fail_set_lines = EPERM;
  auto opened = open();
  ASSERT_FALSE(opened);
  EXPECT_TRUE(opened.error().configure_failed);
  EXPECT_EQ(opened.error().error.code(), EPERM);

  auto handle = PortHandle::create();
  ASSERT_TRUE(handle->open_with(std::move(port)));
  driver.fail_set_lines = EIO;
  auto gone = handle->set_dtr(false);
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error().code(), EIO);
  EXPECT_FALSE(handle->is_open());
}

}  // namespace
}  // namespace corvalink

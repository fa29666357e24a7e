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
#include <vector>

#include "backends/posix/posix.hpp"
#include "engine/port.hpp"
#include "tty_control_sim.hpp"
#include "backends/open.hpp"

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

  auto handle = PortHandle::create(open_backend);
  ASSERT_TRUE(handle->open_with(std::move(port)));
  driver.fail_set_lines = EIO;
  auto gone = handle->set_dtr(false);
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error().code(), EIO);
  EXPECT_FALSE(handle->is_open());
}

// --- RS-485 ------------------------------------------------------------------

namespace flag = posix::rs485;
constexpr std::uint32_t kTerminateBus = 1u << 5;  // a flag of the driver's that is not ours

Rs485Settings mode(bool tx, bool rx, bool loopback, TimeoutValue before = {}, TimeoutValue after = {}) {
  return Rs485Settings{tx, rx, loopback, before, after};
}

// The mode as the kernel takes it: our flags set or cleared, the delays in
// whole milliseconds, and whatever else the driver reported kept.
TEST_F(LineFeatures, RS485ModeMapsOntoTheKernelsRecord) {
  using T = TimeoutValue;
  struct Case {
    const char* what;
    Rs485Settings mode;
    std::uint32_t flags, before_ms, after_ms;
  };
  const Case cases[] = {
      {"defaults", Rs485Settings{}, flag::kEnabled | flag::kRtsOnSend, 0, 0},
      {"RTS low to send, high after", mode(false, true, false), flag::kEnabled | flag::kRtsAfterSend, 0, 0},
      {"RTS high throughout", mode(true, true, false), flag::kEnabled | flag::kRtsOnSend | flag::kRtsAfterSend, 0, 0},
      {"loopback", mode(true, false, true), flag::kEnabled | flag::kRtsOnSend | flag::kRxDuringTx, 0, 0},
      {"whole seconds", mode(true, false, false, T::integer(1), T::integer(0)), flag::kEnabled | flag::kRtsOnSend,
       1000, 0},
      {"milliseconds, exact and rounded up", mode(true, false, false, T::floating(0.003), T::floating(0.0015)),
       flag::kEnabled | flag::kRtsOnSend, 3, 2},
      {"below a microsecond", mode(true, false, false, T::floating(4e-7), T::floating(0.0010004)),
       flag::kEnabled | flag::kRtsOnSend, 0, 1},
      {"beyond the field", mode(true, false, false, T::integer(5'000'000), T::floating(1e300)),
       flag::kEnabled | flag::kRtsOnSend, 0xFFFFFFFF, 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    driver.rs485 = {};
    driver.rs485.flags = kTerminateBus | flag::kRtsAfterSend | flag::kRxDuringTx;
    driver.rs485.delay_rts_before_send = driver.rs485.delay_rts_after_send = 77;
    driver.rs485.padding[0] = 0x0201;  // bus addresses
    PortSettings s;
    s.rs485 = c.mode;
    ASSERT_TRUE(open(s));
    EXPECT_EQ(driver.rs485.flags, c.flags | kTerminateBus);
    EXPECT_EQ(driver.rs485.delay_rts_before_send, c.before_ms);
    EXPECT_EQ(driver.rs485.delay_rts_after_send, c.after_ms);
    EXPECT_EQ(driver.rs485.padding[0], 0x0201u);
  }
}

// No mode leaves what the driver has alone (a board may enable RS-485 from
// its device tree); a port that turned it on turns it off again.
TEST_F(LineFeatures, NoModeTurnsOffOnlyWhatThisPortTurnedOn) {
  driver.rs485.flags = flag::kEnabled | flag::kRtsOnSend | kTerminateBus;
  auto port = open_ok();
  ASSERT_TRUE(port);
  ASSERT_TRUE(port->configure(PortSettings{}, true, true));
  EXPECT_EQ(driver.rs485_sets, 0);

  PortSettings s;
  s.rs485 = mode(false, true, true, TimeoutValue::integer(0), TimeoutValue::floating(0.02));
  ASSERT_TRUE(port->configure(s, true, true));
  s.rs485.reset();
  ASSERT_TRUE(port->configure(s, true, true));
  EXPECT_EQ(driver.rs485.flags, flag::kRtsAfterSend | flag::kRxDuringTx | kTerminateBus);
  EXPECT_EQ(driver.rs485.delay_rts_after_send, 20u);
  const int sets = driver.rs485_sets;
  ASSERT_TRUE(port->configure(s, true, true));
  EXPECT_EQ(driver.rs485_sets, sets);
}

TEST_F(LineFeatures, RS485FailuresNameTheDeviceOrCarryTheError) {
  PortSettings s;
  s.rs485 = Rs485Settings{};

  driver.has_rs485 = false;
  EXPECT_TRUE(open_ok()) << "without a mode the driver's support is not asked for";
  auto refused = open(s);
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().configure_failed);
  EXPECT_EQ(refused.error().error.text(), "the driver of '" + pty.name() + "' has no RS-485 support");
  EXPECT_EQ(refused.error().error.code(), ENOTTY);

  driver.has_rs485 = true;
  driver.fail_set_rs485 = EINVAL;
  auto invalid = open(s);
  ASSERT_FALSE(invalid);
  EXPECT_EQ(invalid.error().error.code(), EINVAL);
  EXPECT_EQ(invalid.error().error.text(), os_error_text(EINVAL));
}

// On an open port a new mode reaches the driver at once; a refused one
// leaves the previous mode in force, in the settings and in the driver.
TEST_F(LineFeatures, ChangingTheModeOnAnOpenPort) {
  auto handle = PortHandle::create(open_backend);
  ASSERT_TRUE(handle->open_with(open_ok()));
  const Rs485Settings first = mode(true, false, false, TimeoutValue::floating(0.005));
  ASSERT_TRUE(handle->update_settings([&](PortSettings& s) { s.rs485 = first; }));
  EXPECT_EQ(driver.rs485.flags, flag::kEnabled | flag::kRtsOnSend);
  EXPECT_EQ(driver.rs485.delay_rts_before_send, 5u);

  driver.fail_set_rs485 = EINVAL;
  auto refused = handle->update_settings([&](PortSettings& s) { s.rs485 = mode(false, true, true); });
  ASSERT_FALSE(refused);
  EXPECT_EQ(handle->settings().rs485, first);
  EXPECT_EQ(driver.rs485.flags, flag::kEnabled | flag::kRtsOnSend);

  ASSERT_TRUE(handle->update_settings([&](PortSettings& s) { s.rs485.reset(); }));
  EXPECT_EQ(driver.rs485.flags, flag::kRtsOnSend);
}

// --- the low-latency flag ----------------------------------------------------

// Only the flag changes, only when it differs; the setting travels with the
// settings (a refusal on an open port keeps the previous one) and is applied
// again by every open.
TEST_F(LineFeatures, LowLatencyFlagFollowsTheSetting) {
  constexpr int kOther = 1 << 6;  // a flag of the driver's that is left alone
  driver.serial_flags = kOther;
  auto handle = PortHandle::create(open_backend);
  ASSERT_TRUE(handle->open_with(open_ok()));
  EXPECT_EQ(driver.serial_sets, 0) << "None leaves the driver alone";

  ASSERT_TRUE(handle->update_settings([](PortSettings& s) { s.low_latency = true; }));
  EXPECT_EQ(driver.serial_flags, kOther | posix::kLowLatency);
  ASSERT_TRUE(handle->update_settings([](PortSettings& s) { s.baudrate = 19200; }));
  EXPECT_EQ(driver.serial_sets, 1) << "a flag already in force is not set again";

  driver.fail_set_serial = EPERM;
  auto refused = handle->update_settings([](PortSettings& s) { s.low_latency = false; });
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code(), EPERM);
  EXPECT_EQ(refused.error().text(),
            "the driver of '" + pty.name() + "' refused the low latency setting: " + os_error_text(EPERM));
  EXPECT_EQ(handle->settings().low_latency, true);
  EXPECT_EQ(driver.serial_flags, kOther | posix::kLowLatency);

  ASSERT_TRUE(handle->update_settings([](PortSettings& s) { s.low_latency = false; }));
  EXPECT_EQ(driver.serial_flags, kOther);

  PortSettings s;
  s.low_latency = true;
  ASSERT_TRUE(open_ok(s));
  EXPECT_EQ(driver.serial_flags, kOther | posix::kLowLatency);
}

TEST_F(LineFeatures, LowLatencyOnADriverWithoutItIsRefusedByName) {
  driver.has_serial_info = false;
  PortSettings s;
  EXPECT_TRUE(open_ok(s)) << "without the setting the driver is not asked";
  for (bool wanted : {true, false}) {
    s.low_latency = wanted;
    auto refused = open(s);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().configure_failed);
    EXPECT_EQ(refused.error().error.text(), "the driver of '" + pty.name() + "' has no low latency setting");
  }
}

// --- manual flow control -----------------------------------------------------

TEST_F(LineFeatures, FlowControlActionsReachTheDriverInOrder) {
  auto handle = PortHandle::create(open_backend);
  ASSERT_TRUE(handle->open_with(open_ok()));
  for (FlowAction a : {FlowAction::SuspendOutput, FlowAction::ResumeOutput, FlowAction::StopInput,
                       FlowAction::ResumeInput})
    ASSERT_TRUE(handle->flow_control(a));
  EXPECT_EQ(driver.flows, (std::vector{posix::Flow::OutputOff, posix::Flow::OutputOn, posix::Flow::InputOff,
                                       posix::Flow::InputOn}));
  driver.fail_flow = EPERM;
  auto failed = handle->flow_control(FlowAction::StopInput);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().code(), EPERM);

  handle->close();
  auto closed = handle->flow_control(FlowAction::StopInput);
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error().kind(), ErrorKind::NotOpen);
}

}  // namespace
}  // namespace corvalink

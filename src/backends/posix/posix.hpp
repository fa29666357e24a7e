// The device backend for POSIX terminals: /dev/ttyUSB*, /dev/ttyACM*,
// /dev/ttyS*, pseudo-terminals.
//
// The descriptor is non-blocking and in raw mode with VMIN = VTIME = 0, so no
// call ever waits for the device; readiness comes from the reactor thread
// (reactor.hpp), or straight from the kernel when the thread that drives the
// operation waits on the descriptor itself (direct_wait.hpp). Writes go
// straight into the kernel's output queue: once write(2) returned there is
// nothing in flight, so abort_write and detach_write have nothing to cancel
// or detach and report 0, and poll_flush is ready at once (the engine's
// flush then waits for TIOCOUTQ to drain).
//
// Settings: standard rates use the termios speed constants, any other rate
// goes through termios2/BOTHER on Linux. configure reads the line settings
// back; what the driver kept otherwise (a pseudo-terminal keeps 8 data bits
// and no parity) is reported by settings_not_kept. Mark and space parity need CMSPAR.
// 1.5 stop bits are set as CSTOPB, which the UART turns into 1.5 stop bits for
// 5-bit characters. There is no termios flag for DSR/DTR handshaking:
// dsrdtr is accepted and keeps DTR asserted, and DSR is not watched.
//
// Devices whose driver has no modem-control lines (pseudo-terminals) answer
// the line ioctls with ENOTTY (EINVAL on old kernels). There the lines read
// False and setting one does nothing (the port keeps the requested state);
// any other failure of those ioctls is reported. The line and RS-485 ioctls
// go through posix::TtyControl (tty_control.hpp).
// exclusive = true takes a non-blocking flock(LOCK_EX) on the descriptor and
// the device's UUCP lock file (uucp_lock.hpp), which programs that do not
// look at flock honour; the file goes when the backend does. set_exclusive
// takes or gives up both on the open device. A child made by fork() shares
// the parent's flock (it belongs to the open file, not the process): it
// never unlocks what the parent took.
//
// RS-485: a mode turns on the driver's direction control (TIOCSRS485 with
// SER_RS485_ENABLED, the RTS levels for sending and after it, reception while
// sending, and the delays in whole milliseconds, rounded up), changing only
// those fields of what the driver reports. No mode leaves the driver's state
// as it is (a board may turn RS-485 on from its device tree), except that a
// port that turned it on turns it off again. A driver without RS-485 support
// answers ENOTTY, reported as such with the device's name.
// A hung-up terminal (read gives 0 after a hang-up was seen, or EIO /
// ENXIO) ends reads and writes with an error the engine treats as fatal; a
// read that looks only once (zero timeout) asks poll() whether the line hung
// up when it finds nothing.
#pragma once

#include <termios.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/backend.hpp"
#include "backends/posix/descriptor_number.hpp"
#include "backends/posix/reactor.hpp"
#include "backends/posix/tty_control.hpp"
#include "backends/posix/uucp_lock.hpp"

namespace corvalink {

namespace posix {
// Turns t into a raw terminal with the line settings of s (everything but the
// speed). EINVAL for a byte size outside 5..8; t is then partly changed.
Status prepare_termios(termios& t, const PortSettings& s);
// Puts the mode into what the driver reported (none: direction control off).
void prepare_rs485(SerialRs485& config, const std::optional<Rs485Settings>& mode);
// A delay as the kernel takes it: whole milliseconds, rounded up from the
// nearest microsecond, at most 2^32 - 1; none is 0.
std::uint32_t delay_milliseconds(const TimeoutValue& delay) noexcept;
}  // namespace posix

class PosixBackend final : public Backend {
 public:
  // Opens, locks (exclusive = true) and configures the device. Errors are the
  // raw OS errors; a failing configure is marked configure_failed. The
  // descriptor is closed again on every failure. `control` makes the line
  // and RS-485 ioctls and the lock file goes into `lock_directory` (the
  // tests give a simulation and a directory of their own).
  static std::expected<std::unique_ptr<PosixBackend>, DeviceOpenError> open(
      std::string_view name, const PortSettings& settings, bool rts, bool dtr,
      posix::TtyControl& control = posix::system_tty_control(),
      std::string_view lock_directory = posix::kLockDirectory);
  ~PosixBackend() override;

  Poll<Status> poll_read(Context& cx, ReadBuf& buf) override;
  Poll<Result<std::size_t>> poll_write(Context& cx, Bytes data) override;
  Poll<Status> poll_flush(Context&) override { return Status{}; }
  void kick_loop_reader() noexcept override { registration_.kick_loop_reader(); }

  Status configure(const PortSettings& settings, bool rts, bool dtr) override;
  Status set_rts(bool level) override;
  Status set_dtr(bool level) override;
  Result<bool> read_cts() override;
  Result<bool> read_dsr() override;
  Result<bool> read_ri() override;
  Result<bool> read_cd() override;
  Result<std::uint64_t> bytes_to_read() override;
  Result<std::uint64_t> bytes_to_write() override;
  Status purge(bool input, bool output) override;
  Status set_break(bool level) override;
  Status flow_control(FlowAction action) override;
  std::optional<std::int32_t> fileno() override { return fd_; }
  std::optional<DescriptorClaim> claim_descriptor() override { return number_.claim(); }
  Result<bool> drains_output() override { return true; }
  Result<std::size_t> abort_write() override { return std::size_t{0}; }
  std::size_t detach_write() override { return 0; }
  Status set_buffer_size(std::uint32_t, std::uint32_t) override { return Status{}; }
  Status set_exclusive(bool on) override;
  std::vector<SettingNotKept> settings_not_kept() const override { return not_kept_; }

 private:
  PosixBackend(int fd, std::string_view name, posix::TtyControl& control, std::string_view lock_directory)
      : fd_(fd), number_(fd), name_(name), control_(&control), lock_directory_(lock_directory) {}

  // Arranges a wake-up for the direct-wait events: the caller's own wait if
  // it has one (true), else the reactor (false; fails if its thread cannot
  // be started).
  Result<bool> arm(Context& cx, std::uint32_t events);
  Status set_line(int bit, bool level);
  Status apply_rs485(const std::optional<Rs485Settings>& mode);
  // The line settings as the device holds them, compared with s.
  std::vector<SettingNotKept> read_back(const PortSettings& s) const;
  // The terminal was hung up (or reports an error): seen by a wait, or now.
  bool hung_up() const noexcept;
  Result<bool> modem_bit(int bit);

  int fd_;
  posix::DescriptorNumber number_;  // closes fd_, keeping the number while it is claimed
  std::string name_;
  posix::TtyControl* control_;
  Status apply_low_latency(std::optional<bool> wanted);
  bool rs485_on_ = false;  // this port turned the driver's RS-485 mode on
  std::vector<SettingNotKept> not_kept_;  // by the last configure
  std::string lock_directory_;
  // Declared after fd_, so it is removed once the device is closed.
  posix::UucpLock lock_;
  bool exclusive_ = false;  // flock and lock file taken (as far as they could be)
  pid_t flock_pid_ = 0;     // the process that took the flock; 0: none taken
  posix::IoRegistration registration_;
  // How the next read starts (see poll_read): expect_empty_ guesses that no
  // input is waiting; waiting_first_ marks a read that waited before its
  // first attempt.
  bool expect_empty_ = false;
  bool waiting_first_ = false;
};

}  // namespace corvalink

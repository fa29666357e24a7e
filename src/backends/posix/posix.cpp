#include "backends/posix/posix.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <format>
#include <limits>
#include <string>
#include <utility>


#if defined(__linux__) && defined(TCGETS2) && defined(BOTHER)
#define CORVALINK_HAVE_TERMIOS2 1
#endif

namespace corvalink {

namespace {

// Closes a descriptor unless released; keeps failed opens from leaking it.
class FdGuard {
 public:
  explicit FdGuard(int fd) noexcept : fd_(fd) {}
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

std::optional<speed_t> standard_speed(std::uint32_t rate) {
  switch (rate) {
    case 0: return B0;
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
#ifdef B57600
    case 57600: return B57600;
#endif
#ifdef B115200
    case 115200: return B115200;
#endif
#ifdef B230400
    case 230400: return B230400;
#endif
#ifdef B460800
    case 460800: return B460800;
#endif
#ifdef B500000
    case 500000: return B500000;
#endif
#ifdef B576000
    case 576000: return B576000;
#endif
#ifdef B921600
    case 921600: return B921600;
#endif
#ifdef B1000000
    case 1000000: return B1000000;
#endif
#ifdef B1152000
    case 1152000: return B1152000;
#endif
#ifdef B1500000
    case 1500000: return B1500000;
#endif
#ifdef B2000000
    case 2000000: return B2000000;
#endif
#ifdef B2500000
    case 2500000: return B2500000;
#endif
#ifdef B3000000
    case 3000000: return B3000000;
#endif
#ifdef B3500000
    case 3500000: return B3500000;
#endif
#ifdef B4000000
    case 4000000: return B4000000;
#endif
    default: return std::nullopt;
  }
}

#ifdef CORVALINK_HAVE_TERMIOS2
// The kernel's struct termios2 (asm/termbits.h cannot be included next to
// <termios.h>). The control characters share their indices with glibc's.
struct KernelTermios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
static_assert(sizeof(KernelTermios2) == 44);
constexpr unsigned long kGetTermios2 = _IOR('T', 0x2A, KernelTermios2);
constexpr unsigned long kSetTermios2 = _IOW('T', 0x2B, KernelTermios2);

// Applies the prepared flags and the rate in one ioctl, so a rate the driver
// refuses leaves the device as it was: a standard rate by the speed code
// that cfsetospeed put into t, any other as BOTHER. This goes straight to
// the kernel: the C library's tcsetattr may call it a failure when the
// driver changed what was asked (glibc 2.43 does when none of the changes
// took, as for 7 data bits asked twice of a pseudo-terminal), while what the
// driver kept is read back and reported (read_back).
Status set_termios(int fd, const termios& t, std::uint32_t rate, bool standard) {
  KernelTermios2 k{};
  if (::ioctl(fd, kGetTermios2, &k) != 0) return fail(last_os_error());
  k.c_iflag = t.c_iflag;
  k.c_oflag = t.c_oflag;
  k.c_lflag = t.c_lflag;
  k.c_cflag = standard ? (t.c_cflag & ~CIBAUD) : (t.c_cflag & ~(CBAUD | CIBAUD)) | BOTHER | (BOTHER << IBSHIFT);
  k.c_line = t.c_line;
  std::memcpy(k.c_cc, t.c_cc, sizeof k.c_cc);
  k.c_ispeed = rate;
  k.c_ospeed = rate;
  if (::ioctl(fd, kSetTermios2, &k) != 0) return fail(last_os_error());
  return {};
}
#endif

// flock(LOCK_EX) without waiting; refused with a message when another open
// file holds it.
Status take_flock(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return {};
  const int err = errno;
  if (err == EWOULDBLOCK) return fail(PortError::failure("the port is locked: it is already open for exclusive use", err));
  return fail(from_os_error(err));
}

// Errors of the line ioctls that mean "this device has no such lines".
bool no_modem_lines(int err) { return err == ENOTTY || err == EINVAL; }

}  // namespace

std::expected<std::unique_ptr<PosixBackend>, DeviceOpenError> PosixBackend::open(std::string_view name,
                                                                                 const PortSettings& settings,
                                                                                 bool rts, bool dtr,
                                                                                 posix::TtyControl& control,
                                                                                 std::string_view lock_directory) {
  // A name with an embedded NUL would silently open a shorter path.
  if (name.find('\0') != std::string_view::npos) return std::unexpected(DeviceOpenError{from_os_error(EINVAL)});
  const std::string path(name);
  int raw;
  do {
    raw = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return std::unexpected(DeviceOpenError{last_os_error()});
  FdGuard fd(raw);

  if (settings.exclusive == true) {
    if (Status st = take_flock(fd.get()); !st) return std::unexpected(DeviceOpenError{std::move(st.error())});
  }
  posix::UucpLock lock;
  if (settings.exclusive == true) {
    auto taken = posix::UucpLock::acquire(lock_directory, name);
    if (!taken) return std::unexpected(DeviceOpenError{std::move(taken.error())});
    lock = std::move(*taken);
  }

  // Only terminals are served; anything else fails the open with ENOTTY.
  termios probe{};
  if (::tcgetattr(fd.get(), &probe) != 0) return std::unexpected(DeviceOpenError{last_os_error()});

  std::unique_ptr<PosixBackend> backend(new PosixBackend(fd.get(), name, control, lock_directory));
  fd.release();  // the backend closes it from here on
  backend->lock_ = std::move(lock);
  if (settings.exclusive == true) {
    backend->exclusive_ = true;
    backend->flock_pid_ = ::getpid();
  }
  if (auto st = backend->configure(settings, rts, dtr); !st) {
    return std::unexpected(DeviceOpenError{std::move(st.error()), /*configure_failed=*/true});
  }
  // Registered last, so the reactor starts only for a device that opened.
  auto registration = posix::IoRegistration::add(backend->fd_);
  if (!registration) return std::unexpected(DeviceOpenError{std::move(registration.error())});
  backend->registration_ = std::move(*registration);
  return backend;
}

Result<bool> PosixBackend::arm(Context& cx, std::uint32_t events) {
  // On a thread that drives the operation itself the kernel wakes it
  // directly, without the reactor thread in between.
  if (DirectWait* wait = direct_wait(cx); wait && registration_.watch(*wait, events)) return true;
  if (events & kDirectReadable)
    if (Status armed = registration_.arm_read(cx.waker()); !armed) return fail(std::move(armed.error()));
  if (events & kDirectWritable)
    if (Status armed = registration_.arm_write(cx.waker()); !armed) return fail(std::move(armed.error()));
  return false;
}

PosixBackend::~PosixBackend() {
  // Deregister before closing so the descriptor number cannot be reused while
  // the reactor still watches it (an event loop that claimed the number lets
  // go of it later; see DescriptorNumber).
  registration_ = posix::IoRegistration();
  number_.close();
}

Poll<Status> PosixBackend::poll_read(Context& cx, ReadBuf& buf) {
  if (buf.remaining() == 0) return Status{};
  // When nothing is expected yet (a reply to what was just written, or the
  // input drained by the last read), a thread that waits on the descriptor
  // itself waits before it reads: on a terminal, a read that finds nothing
  // followed by poll() costs more than a poll() that finds data at once. The
  // next poll reads.
  const bool waited_first = std::exchange(waiting_first_, false);
  if (!waited_first && expect_empty_ && buf.may_wait) {
    if (DirectWait* wait = direct_wait(cx); wait && registration_.watch(*wait, kDirectReadable)) {
      waiting_first_ = true;
      return Pending;
    }
  }
  bool armed = false;
  if (!waited_first && expect_empty_ && buf.may_wait) {
    // Nothing expected and no wait of our own: arm first, so that one read
    // settles it (data that comes after it wakes the armed task).
    armed = true;
    Result<bool> direct = arm(cx, kDirectReadable);
    if (!direct) return Status(fail(std::move(direct.error())));
  }
  for (;;) {
    const std::size_t want = buf.remaining();
    const ssize_t n = ::read(fd_, buf.data + buf.filled, want);
    if (n > 0) {
      buf.filled += static_cast<std::size_t>(n);
      // A read that found data waiting says more may follow at once; one
      // that came after a wait and got less than half of what it asked for
      // has most likely drained the input (a full terminal buffer gives
      // nearly all of a 4096-byte request, a trickle much less).
      expect_empty_ = waited_first && static_cast<std::size_t>(n) * 2 < want;
      return Status{};
    }
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      if (err != EAGAIN && err != EWOULDBLOCK) return Status(fail(from_os_error(err)));
    }
    expect_empty_ = true;
    // Nothing there (VMIN = VTIME = 0 makes read return 0, O_NONBLOCK gives
    // EAGAIN). A reader that looks only once will not wait, so nothing is
    // armed; it learns of a hang-up, which reads the same as an idle line,
    // from a poll() that does not wait.
    if (!buf.may_wait) {
      if (hung_up()) return Status{};
      return Pending;
    }
    // Arm the reactor, then look once more: data that arrived in
    // between is either seen now or wakes the armed task. A direct wait needs
    // no second look: it polls the descriptor's level, so data that arrived
    // in between ends it at once.
    if (!armed) {
      armed = true;
      Result<bool> direct = arm(cx, kDirectReadable);
      if (!direct) return Status(fail(std::move(direct.error())));
      if (!*direct) continue;
    }
    // A hung-up terminal also reads 0, for good: report completion without
    // data and let the engine close the port. The reactor or the direct wait
    // notes the hang-up before the reader is woken, so a woken read finds it.
    if (n == 0 && registration_.broken()) return Status{};
    return Pending;
  }
}

bool PosixBackend::hung_up() const noexcept {
  if (registration_.broken()) return true;
  pollfd p{fd_, POLLIN, 0};
  int n;
  do {
    n = ::poll(&p, 1, 0);
  } while (n < 0 && errno == EINTR);
  return n > 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

Poll<Result<std::size_t>> PosixBackend::poll_write(Context& cx, Bytes data) {
  if (data.empty()) return Result<std::size_t>(std::size_t{0});
  bool armed = false;
  for (;;) {
    const ssize_t n = ::write(fd_, data.data(), data.size());
    if (n >= 0) {
      // Whatever answers this has not arrived yet.
      if (n > 0) expect_empty_ = true;
      return Result<std::size_t>(static_cast<std::size_t>(n));
    }
    const int err = errno;
    if (err == EINTR) continue;
    if (err != EAGAIN && err != EWOULDBLOCK) return Result<std::size_t>(fail(from_os_error(err)));
    if (armed) return Pending;
    armed = true;
    Result<bool> direct = arm(cx, kDirectWritable);
    if (!direct) return Result<std::size_t>(fail(std::move(direct.error())));
    if (*direct) return Pending;  // level-triggered, as for reads
  }
}

namespace posix {

Status prepare_termios(termios& t, const PortSettings& s) {
  ::cfmakeraw(&t);
  t.c_iflag &= ~static_cast<tcflag_t>(INPCK | ISTRIP | IGNPAR | PARMRK | IXON | IXOFF | IXANY);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  switch (s.bytesize) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    case 8: t.c_cflag |= CS8; break;
    default: return fail(from_os_error(EINVAL));
  }

  t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
#ifdef CMSPAR
  t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
  switch (s.parity) {
    case Parity::None: break;
    case Parity::Even: t.c_cflag |= PARENB; break;
    case Parity::Odd: t.c_cflag |= PARENB | PARODD; break;
#ifdef CMSPAR
    case Parity::Mark: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case Parity::Space: t.c_cflag |= PARENB | CMSPAR; break;
#else
    case Parity::Mark:
    case Parity::Space: return fail(from_os_error(EINVAL));
#endif
  }

  if (s.stopbits == StopBits::One)
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  else
    t.c_cflag |= CSTOPB;

  if (s.xonxoff) t.c_iflag |= IXON | IXOFF;
  t.c_cc[VSTART] = 0x11;
  t.c_cc[VSTOP] = 0x13;

#ifdef CRTSCTS
  if (s.rtscts)
    t.c_cflag |= CRTSCTS;
  else
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif

  return {};
}

void prepare_rs485(SerialRs485& config, const std::optional<Rs485Settings>& mode) {
  auto put = [&](std::uint32_t bit, bool on) { config.flags = on ? (config.flags | bit) : (config.flags & ~bit); };
  put(rs485::kEnabled, mode.has_value());
  if (!mode) return;
  put(rs485::kRtsOnSend, mode->rts_level_for_tx);
  put(rs485::kRtsAfterSend, mode->rts_level_for_rx);
  put(rs485::kRxDuringTx, mode->loopback);
  config.delay_rts_before_send = delay_milliseconds(mode->delay_before_tx);
  config.delay_rts_after_send = delay_milliseconds(mode->delay_before_rx);
}

std::uint32_t delay_milliseconds(const TimeoutValue& delay) noexcept {
  // The Python layer refuses what does not fit; a value given to the engine
  // directly is clamped.
  if (auto ms = rs485_delay_milliseconds(delay)) return *ms;
  const bool negative = (delay.kind() == TimeoutValue::Kind::Integer && delay.as_integer() < 0) ||
                        (delay.kind() == TimeoutValue::Kind::Float && !(delay.as_float() > 0));
  return negative ? 0 : std::numeric_limits<std::uint32_t>::max();
}

}  // namespace posix

Status PosixBackend::configure(const PortSettings& s, bool rts, bool dtr) {
  termios t{};
  if (::tcgetattr(fd_, &t) != 0) return fail(last_os_error());
  if (auto st = posix::prepare_termios(t, s); !st) return st;

  const auto speed = standard_speed(s.baudrate);
  if (speed) {
#ifdef CIBAUD
    // A custom input rate set earlier through termios2 would otherwise stay.
    t.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
#endif
    if (::cfsetospeed(&t, *speed) != 0 || ::cfsetispeed(&t, *speed) != 0) return fail(last_os_error());
  }
#ifdef CORVALINK_HAVE_TERMIOS2
  if (auto st = set_termios(fd_, t, s.baudrate, speed.has_value()); !st) return st;
#else
  if (!speed) return fail(from_os_error(EINVAL));
  if (::tcsetattr(fd_, TCSANOW, &t) != 0) return fail(last_os_error());
#endif
  std::vector<SettingNotKept> not_kept = read_back(s);

  if (auto st = apply_rs485(s.rs485); !st) return st;
  if (auto st = apply_low_latency(s.low_latency); !st) return st;

  // Line states follow the settings.
  if (!s.rtscts) {
    if (auto st = set_line(TIOCM_RTS, rts); !st) return st;
  }
  // Without a DSR/DTR handshake in termios, DTR stays asserted while dsrdtr is on.
  if (auto st = set_line(TIOCM_DTR, dtr || s.dsrdtr); !st) return st;
  not_kept_ = std::move(not_kept);
  return {};
}

namespace {

std::string flag_text(bool b) { return b ? "True" : "False"; }

std::string parity_text(Parity p) { return std::format("'{}'", parity_letter(p)); }

Parity parity_of(tcflag_t cflag) {
  if (!(cflag & PARENB)) return Parity::None;
#ifdef CMSPAR
  if (cflag & CMSPAR) return (cflag & PARODD) ? Parity::Mark : Parity::Space;
#endif
  return (cflag & PARODD) ? Parity::Odd : Parity::Even;
}

std::string stopbits_text(StopBits s) {
  switch (s) {
    case StopBits::One: return "1";
    case StopBits::OnePointFive: return "1.5";
    case StopBits::Two: return "2";
  }
  return "?";
}

}  // namespace

std::vector<SettingNotKept> PosixBackend::read_back(const PortSettings& s) const {
  std::vector<SettingNotKept> out;
  termios t{};
  if (::tcgetattr(fd_, &t) != 0) return out;  // nothing to compare with
  auto compare = [&](const char* name, std::string asked, std::string in_force) {
    if (asked != in_force) out.push_back({name, std::move(asked), std::move(in_force)});
  };
#ifdef CORVALINK_HAVE_TERMIOS2
  // The kernel keeps the rate as a number beside the flags, for standard
  // rates too; a driver that cannot make the rate puts the one it made there.
  if (KernelTermios2 k{}; ::ioctl(fd_, kGetTermios2, &k) == 0)
    compare("baudrate", std::to_string(s.baudrate), std::to_string(k.c_ospeed));
#endif
  int bits = 8;
  switch (t.c_cflag & CSIZE) {
    case CS5: bits = 5; break;
    case CS6: bits = 6; break;
    case CS7: bits = 7; break;
    default: break;
  }
  compare("bytesize", std::to_string(s.bytesize), std::to_string(bits));
  compare("parity", parity_text(s.parity), parity_text(parity_of(t.c_cflag)));
  // CSTOPB stands for 1.5 stop bits as well as for 2.
  const StopBits stop = !(t.c_cflag & CSTOPB) ? StopBits::One
                        : s.stopbits == StopBits::OnePointFive ? StopBits::OnePointFive
                                                               : StopBits::Two;
  compare("stopbits", stopbits_text(s.stopbits), stopbits_text(stop));
  compare("xonxoff", flag_text(s.xonxoff), flag_text((t.c_iflag & IXON) && (t.c_iflag & IXOFF)));
#ifdef CRTSCTS
  compare("rtscts", flag_text(s.rtscts), flag_text(t.c_cflag & CRTSCTS));
#endif
  return out;
}

Status PosixBackend::set_line(int bit, bool level) {
  const int err = control_->set_modem_lines(fd_, bit, level);
  if (err == 0 || no_modem_lines(err)) return {};
  return fail(from_os_error(err));
}

Status PosixBackend::apply_rs485(const std::optional<Rs485Settings>& mode) {
  if (!mode && !rs485_on_) return {};
  posix::SerialRs485 config;
  int err = control_->get_rs485(fd_, config);
  if (err == 0) {
    posix::prepare_rs485(config, mode);
    err = control_->set_rs485(fd_, config);
  }
  if (err == ENOTTY) {
    return fail(PortError::failure(std::format("the driver of '{}' has no RS-485 support", name_), err));
  }
  if (err != 0) return fail(from_os_error(err));
  rs485_on_ = mode.has_value();
  return {};
}

Status PosixBackend::set_exclusive(bool on) {
  const pid_t me = ::getpid();
  if (!on) {
    lock_.release();
    // An flock inherited from the parent is the parent's to give up, and
    // stays marked as taken, so that taking it again here never releases it.
    if (flock_pid_ == me) {
      ::flock(fd_, LOCK_UN);
      flock_pid_ = 0;
    }
    exclusive_ = false;
    return {};
  }
  if (exclusive_) return {};
  // Named as the open names a port it cannot open.
  auto refused = [&](const PortError& e) {
    return fail(PortError::failure(std::format("could not lock port '{}': {}", name_, e.text()), e.code()));
  };
  const bool had_flock = flock_pid_ != 0;
  if (Status st = take_flock(fd_); !st) return refused(st.error());
  auto taken = posix::UucpLock::acquire(lock_directory_, name_);
  if (!taken) {
    if (!had_flock) ::flock(fd_, LOCK_UN);
    return refused(taken.error());
  }
  lock_ = std::move(*taken);
  if (!had_flock) flock_pid_ = me;
  exclusive_ = true;
  return {};
}

// Changes only the low-latency flag, and only when it differs; a driver
// without TIOCGSERIAL (a pseudo-terminal, many USB adapters) refuses.
Status PosixBackend::apply_low_latency(std::optional<bool> wanted) {
  if (!wanted) return {};
  posix::SerialInfo info;
  int err = control_->get_serial(fd_, info);
  if (err == 0 && ((info.flags & posix::kLowLatency) != 0) != *wanted) {
    info.flags = *wanted ? (info.flags | posix::kLowLatency) : (info.flags & ~posix::kLowLatency);
    err = control_->set_serial(fd_, info);
  }
  if (err == ENOTTY || err == EINVAL) {
    return fail(PortError::failure(std::format("the driver of '{}' has no low latency setting", name_), err));
  }
  if (err != 0) {
    return fail(PortError::failure(
        std::format("the driver of '{}' refused the low latency setting: {}", name_, from_os_error(err).text()), err));
  }
  return {};
}

Status PosixBackend::flow_control(FlowAction action) {
  using posix::Flow;
  Flow flow = Flow::OutputOff;
  switch (action) {
    case FlowAction::SuspendOutput: flow = Flow::OutputOff; break;
    case FlowAction::ResumeOutput: flow = Flow::OutputOn; break;
    case FlowAction::StopInput: flow = Flow::InputOff; break;
    case FlowAction::ResumeInput: flow = Flow::InputOn; break;
  }
  if (int err = control_->flow(fd_, flow)) return fail(from_os_error(err));
  return {};
}

Status PosixBackend::set_rts(bool level) { return set_line(TIOCM_RTS, level); }
Status PosixBackend::set_dtr(bool level) { return set_line(TIOCM_DTR, level); }

Result<bool> PosixBackend::modem_bit(int bit) {
  int status = 0;
  const int err = control_->get_modem_lines(fd_, status);
  if (no_modem_lines(err)) return false;
  if (err != 0) return fail(from_os_error(err));
  return (status & bit) != 0;
}

Result<bool> PosixBackend::read_cts() { return modem_bit(TIOCM_CTS); }
Result<bool> PosixBackend::read_dsr() { return modem_bit(TIOCM_DSR); }
Result<bool> PosixBackend::read_ri() { return modem_bit(TIOCM_RI); }
Result<bool> PosixBackend::read_cd() { return modem_bit(TIOCM_CD); }

Result<std::uint64_t> PosixBackend::bytes_to_read() {
  int n = 0;
  if (::ioctl(fd_, TIOCINQ, &n) != 0) return fail(last_os_error());
  return static_cast<std::uint64_t>(n < 0 ? 0 : n);
}

Result<std::uint64_t> PosixBackend::bytes_to_write() {
  int n = 0;
  if (::ioctl(fd_, TIOCOUTQ, &n) != 0) return fail(last_os_error());
  return static_cast<std::uint64_t>(n < 0 ? 0 : n);
}

Status PosixBackend::purge(bool input, bool output) {
  if (!input && !output) return {};
  const int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
  if (::tcflush(fd_, which) != 0) return fail(last_os_error());
  return {};
}

Status PosixBackend::set_break(bool level) {
  if (::ioctl(fd_, level ? TIOCSBRK : TIOCCBRK) != 0) return fail(last_os_error());
  return {};
}


}  // namespace corvalink

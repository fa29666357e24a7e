// The terminal backend against real kernel ttys: pseudo-terminal pairs whose
// slave side is opened by name, as a user opens /dev/ttyUSB0.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <format>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "backends/open.hpp"
#include "engine/backend.hpp"
#include "backends/posix/posix.hpp"
#include "backends/posix/reactor.hpp"
#include "engine/port.hpp"
#include "engine/runtime.hpp"

namespace corvalink {
namespace {

using namespace std::chrono_literals;

// Records wake-ups so a test can wait for one.
class Probe final : public WakeTarget {
 public:
  void wake() noexcept override {
    std::lock_guard lock(mutex_);
    ++wakes_;
    cv_.notify_all();
  }
  // Waits for a wake after the count `seen`; true if one came in time.
  bool wait_beyond(int seen, std::chrono::milliseconds limit = 5s) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return wakes_ > seen; });
  }
  int wakes() {
    std::lock_guard lock(mutex_);
    return wakes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int wakes_ = 0;
};

struct TestWaker {
  Probe* probe = new Probe;
  Waker waker = Waker::adopt(probe);
  Context cx{waker};
};

// A pseudo-terminal pair: the test plays the device on the master side.
class Pty {
 public:
  Pty() {
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    name_ = name;
  }
  ~Pty() {
    close_master();
    if (slave_ >= 0) ::close(slave_);
  }
  const std::string& name() const { return name_; }
  int master() const { return master_; }
  void close_master() {
    if (master_ >= 0) ::close(std::exchange(master_, -1));
  }
  void send(std::string_view s) const { ASSERT_EQ(::write(master_, s.data(), s.size()), ssize_t(s.size())); }
  // Reads what the port sent, waiting up to 5 s for the first byte.
  std::string receive(std::size_t max = 65536) const {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) return {};
    std::string out(max, '\0');
    ssize_t n = ::read(master_, out.data(), max);
    out.resize(n > 0 ? std::size_t(n) : 0);
    return out;
  }

 private:
  int master_ = -1;
  int slave_ = -1;  // kept open so the pair survives the port closing
  std::string name_;
};

std::unique_ptr<PosixBackend> open_port(const std::string& name, const PortSettings& s = {}) {
  auto r = PosixBackend::open(name, s, true, true);
  if (!r) {
    ADD_FAILURE() << "open " << name << ": " << r.error().error.text();
    return nullptr;
  }
  return std::move(*r);
}

std::size_t open_fds() {
  std::size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// The line speed as the kernel holds it (termios2 carries the plain number).
struct KernelTermios2 {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed, c_ospeed;
};
std::pair<speed_t, speed_t> kernel_speeds(int fd) {
  KernelTermios2 k{};
  EXPECT_EQ(::ioctl(fd, _IOR('T', 0x2A, KernelTermios2), &k), 0) << std::strerror(errno);
  return {k.c_ispeed, k.c_ospeed};
}

std::string read_all(PosixBackend& port, TestWaker& w, std::size_t want) {
  std::string out;
  std::vector<std::uint8_t> chunk(4096);
  auto until = std::chrono::steady_clock::now() + 5s;
  while (out.size() < want && std::chrono::steady_clock::now() < until) {
    ReadBuf buf{chunk.data(), chunk.size(), 0, true};
    int seen = w.probe->wakes();
    auto r = port.poll_read(w.cx, buf);
    if (r.pending()) {
      w.probe->wait_beyond(seen, 1s);
      continue;
    }
    EXPECT_TRUE(r.value().has_value()) << r.value().error().text();
    if (!r.value() || buf.filled == 0) break;
    out.append(reinterpret_cast<char*>(chunk.data()), buf.filled);
  }
  return out;
}

// --- opening ---------------------------------------------------------------

TEST(PosixBackend, OpensNonBlockingCloseOnExecRawDescriptor) {
  Pty pty;
  auto port = open_port(pty.name());
  ASSERT_TRUE(port);
  int fd = *port->fileno();
  EXPECT_TRUE(::fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(*port->drains_output(), true);

  termios t{};
  ASSERT_EQ(::tcgetattr(fd, &t), 0);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF), 0u);
}

TEST(PosixBackend, FailedOpensReportTheOsErrorAndLeakNoDescriptor) {
  Pty pty;
  open_port(pty.name());  // the reactor's own descriptor exists from the first open on
  const std::size_t before = open_fds();

  auto missing = PosixBackend::open("/dev/does-not-exist-corvalink", {}, true, true);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().error.code(), ENOENT);
  EXPECT_FALSE(missing.error().configure_failed);

  auto not_a_tty = PosixBackend::open("/dev/null", {}, true, true);
  ASSERT_FALSE(not_a_tty);
  EXPECT_EQ(not_a_tty.error().error.code(), ENOTTY);

  PortSettings bad;
  bad.bytesize = 9;
  auto refused = PosixBackend::open(pty.name(), bad, true, true);
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().configure_failed);

  EXPECT_EQ(open_fds(), before);
}

TEST(PosixBackend, OpenBackendNamesThePortInTheMessage) {
  auto r = open_backend("/dev/does-not-exist-corvalink", {}, true, true);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(),
            "could not open port '/dev/does-not-exist-corvalink': " + os_error_text(ENOENT));
  EXPECT_EQ(r.error().code(), ENOENT);
}

TEST(PosixBackend, ExclusiveOpenLocksTheDevice) {
  Pty pty;
  PortSettings excl;
  excl.exclusive = true;
  auto first = open_port(pty.name(), excl);
  ASSERT_TRUE(first);

  const std::size_t before = open_fds();
  auto second = PosixBackend::open(pty.name(), excl, true, true);
  ASSERT_FALSE(second);
  EXPECT_FALSE(second.error().configure_failed);
  EXPECT_NE(second.error().error.text().find("locked"), std::string::npos) << second.error().error.text();
  EXPECT_EQ(open_fds(), before);

  // Without the option no lock is taken or checked.
  EXPECT_TRUE(open_port(pty.name()));

  first.reset();
  EXPECT_TRUE(open_port(pty.name(), excl)) << "lock must be released by closing";
}

TEST(PosixBackend, PseudoTerminalHasNoModemLines) {
  Pty pty;
  auto port = open_port(pty.name());
  ASSERT_TRUE(port);
  // The kernel's driver lacks the line ioctls: the lines read False and
  // setting them does nothing.
  EXPECT_EQ(port->read_cts(), false);
  EXPECT_EQ(port->read_cd(), false);
  EXPECT_TRUE(port->set_rts(false));
  PortSettings s;
  s.baudrate = 19200;
  EXPECT_TRUE(port->configure(s, false, false));
  EXPECT_TRUE(port->set_buffer_size(1, 1));
}

// --- configure -------------------------------------------------------------

struct ConfigCase {
  const char* label;
  PortSettings settings;
  tcflag_t cflag_set;  // expected among kCheckedCflag
  tcflag_t iflag_set;  // expected among IXON | IXOFF
  speed_t speed;
};

constexpr tcflag_t kCheckedCflag = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

PortSettings make(std::uint32_t baud, std::uint8_t bits, Parity p, StopBits sb, bool xonxoff = false,
                  bool rtscts = false) {
  PortSettings s;
  s.baudrate = baud;
  s.bytesize = bits;
  s.parity = p;
  s.stopbits = sb;
  s.xonxoff = xonxoff;
  s.rtscts = rtscts;
  return s;
}

// In order: each row is applied on top of the previous one, so every flag is
// also seen being cleared again.
const ConfigCase kConfigCases[] = {
    {"defaults", PortSettings{}, CS8, 0, 9600},
    {"7E1", make(19200, 7, Parity::Even, StopBits::One), CS7 | PARENB, 0, 19200},
    {"8O2", make(115200, 8, Parity::Odd, StopBits::Two), CS8 | PARENB | PARODD | CSTOPB, 0, 115200},
    {"mark", make(57600, 8, Parity::Mark, StopBits::One), CS8 | PARENB | PARODD | CMSPAR, 0, 57600},
    {"space", make(38400, 6, Parity::Space, StopBits::One), CS6 | PARENB | CMSPAR, 0, 38400},
    {"5 bits, 1.5 stop", make(300, 5, Parity::None, StopBits::OnePointFive), CS5 | CSTOPB, 0, 300},
    {"xonxoff", make(4800, 8, Parity::None, StopBits::One, true), CS8, IXON | IXOFF, 4800},
    {"rtscts", make(921600, 8, Parity::None, StopBits::One, false, true), CS8 | CRTSCTS, 0, 921600},
    {"custom rate", make(123456, 8, Parity::Odd, StopBits::Two), CS8 | PARENB | PARODD | CSTOPB, 0, 123456},
    {"back to a standard rate", make(9600, 8, Parity::None, StopBits::One), CS8, 0, 9600},
    {"large custom rate", make(3210987, 7, Parity::Space, StopBits::One, true, true),
     CS7 | PARENB | CMSPAR | CRTSCTS, IXON | IXOFF, 3210987},
};

TEST(PosixBackend, PrepareTermiosMapsEveryLineSetting) {
  termios t;
  std::memset(&t, 0xff, sizeof t);  // whatever the device held before
  for (const auto& c : kConfigCases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(posix::prepare_termios(t, c.settings));
    EXPECT_EQ(t.c_cflag & kCheckedCflag, c.cflag_set);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), c.iflag_set);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (INPCK | ISTRIP | ICRNL | INLCR | IGNCR | PARMRK), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
  }
  PortSettings bad;
  bad.bytesize = 9;
  EXPECT_EQ(posix::prepare_termios(t, bad).error().code(), EINVAL);
}

TEST(PosixBackend, ConfigureReachesTheKernel) {
  Pty pty;
  auto port = open_port(pty.name());
  ASSERT_TRUE(port);
  const int fd = *port->fileno();
  // The pseudo-terminal driver forces CS8 without parity enable; every other
  // bit and the speed are kept as set.
  constexpr tcflag_t kept = kCheckedCflag & ~(CSIZE | PARENB);
  for (const auto& c : kConfigCases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(port->configure(c.settings, true, true));
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    EXPECT_EQ(t.c_cflag & kept, c.cflag_set & kept);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), c.iflag_set);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    auto [in, out] = kernel_speeds(fd);
    EXPECT_EQ(out, c.speed);
    EXPECT_EQ(in, c.speed);
  }
}

TEST(PosixBackend, RefusedSettingsLeaveThePreviousOnesInForce) {
  Pty pty;
  auto port = open_port(pty.name(), make(57600, 7, Parity::Odd, StopBits::Two));
  ASSERT_TRUE(port);
  const int fd = *port->fileno();
  termios before{};
  ASSERT_EQ(::tcgetattr(fd, &before), 0);

  auto bad = make(115200, 4, Parity::None, StopBits::One);
  auto st = port->configure(bad, true, true);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().code(), EINVAL);

  termios after{};
  ASSERT_EQ(::tcgetattr(fd, &after), 0);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(kernel_speeds(fd).second, 57600u);
}

// The settings are read back after configuring: a pseudo-terminal keeps 8
// data bits and no parity whatever is asked, and everything else.
TEST(PosixBackend, SettingsTheDeviceDidNotKeepAreReported) {
  using N = SettingNotKept;
  struct Case {
    const char* label;
    PortSettings settings;
    std::vector<SettingNotKept> not_kept;
  };
  const Case cases[] = {
      {"8N1", PortSettings{}, {}},
      {"7E2", make(9600, 7, Parity::Even, StopBits::Two), {N{"bytesize", "7", "8"}, N{"parity", "'E'", "'N'"}}},
      {"5M1.5", make(300, 5, Parity::Mark, StopBits::OnePointFive),
       {N{"bytesize", "5", "8"}, N{"parity", "'M'", "'N'"}}},
      {"custom rate, both flow controls", make(123456, 8, Parity::None, StopBits::Two, true, true), {}},
  };
  Pty pty;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto handle = PortHandle::create(open_backend);
    ASSERT_TRUE(handle->change_port(pty.name()));
    ASSERT_TRUE(handle->update_settings([&](PortSettings& s) { s = c.settings; }));
    std::vector<SettingNotKept> not_kept{N{"stale", "", ""}};
    ASSERT_TRUE(handle->open(&not_kept));
    EXPECT_EQ(not_kept, c.not_kept);
    // Asking the same again is no failure (the C library's tcsetattr would
    // report EINVAL when none of the changes took).
    auto again = open_port(pty.name(), c.settings);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->settings_not_kept(), c.not_kept);
  }
}

// --- data ------------------------------------------------------------------

TEST(PosixBackend, ReadWaitsForDataAndIsWokenByTheReactor) {
  Pty pty;
  auto port = open_port(pty.name());
  ASSERT_TRUE(port);
  TestWaker w;
  std::uint8_t data[4];
  ReadBuf buf{data, sizeof data, 0, true};

  ASSERT_TRUE(port->poll_read(w.cx, buf).pending());
  const int seen = w.probe->wakes();
  pty.send("abcdefgh");
  ASSERT_TRUE(w.probe->wait_beyond(seen)) << "no wake-up for arriving data";

  // A small buffer takes only what fits; the rest stays for the next poll.
  auto r = port->poll_read(w.cx, buf);
  ASSERT_TRUE(r.ready());
  ASSERT_TRUE(r.value());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), buf.filled), "abcd");
  EXPECT_EQ(*port->bytes_to_read(), 4u);

  // A full buffer is ready at once without reading.
  ASSERT_TRUE(port->poll_read(w.cx, buf).ready());
  EXPECT_EQ(buf.filled, 4u);

  EXPECT_EQ(read_all(*port, w, 4), "efgh");
}

TEST(PosixBackend, BinaryDataPassesUntranslatedBothWays) {
  Pty pty;
  auto port = open_port(pty.name(), make(115200, 8, Parity::None, StopBits::One, true));
  ASSERT_TRUE(port);
  TestWaker w;
  // Every byte value, including CR, LF, ^C, ^D, XON and XOFF, in both directions.
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(char(i));
  all.erase(std::remove_if(all.begin(), all.end(), [](char c) { return c == 0x11 || c == 0x13; }), all.end());

  auto wr = port->poll_write(w.cx, Bytes(reinterpret_cast<const std::uint8_t*>(all.data()), all.size()));
  ASSERT_TRUE(wr.ready());
  ASSERT_EQ(*wr.value(), all.size());
  std::string got;
  while (got.size() < all.size()) {
    auto part = pty.receive();
    ASSERT_FALSE(part.empty());
    got += part;
  }
  EXPECT_EQ(got, all);

  pty.send(all);
  EXPECT_EQ(read_all(*port, w, all.size()), all);
}

TEST(PosixBackend, WriteWaitsWhenTheKernelQueueIsFull) {
  Pty pty;
  auto port = open_port(pty.name());
  ASSERT_TRUE(port);
  TestWaker w;
  std::vector<std::uint8_t> block(65536, 'x');
  std::size_t written = 0;
  Poll<Result<std::size_t>> r = Pending;
  for (int i = 0; i < 1000; ++i) {
    r = port->poll_write(w.cx, block);
    if (r.pending()) break;
    ASSERT_TRUE(r.value());
    written += *r.value();
  }
  ASSERT_TRUE(r.pending()) << "the pty never filled up";
  EXPECT_TRUE(port->poll_write(w.cx, Bytes{}).ready()) << "an empty write never waits";

  // Room freed by the other side reading must wake the writer, and the woken
  // write then makes progress.
  auto until = std::chrono::steady_clock::now() + 5s;
  for (;;) {
    ASSERT_LT(std::chrono::steady_clock::now(), until) << "writer never got going again";
    const int seen = w.probe->wakes();
    r = port->poll_write(w.cx, block);
    if (r.ready()) break;
    while (!w.probe->wait_beyond(seen, 10ms)) ASSERT_FALSE(pty.receive().empty());
  }
  ASSERT_TRUE(r.value());
  EXPECT_GT(*r.value(), 0u);
  EXPECT_GT(written, 0u);
}

TEST(PosixBackend, PurgeDiscardsInput) {
  Pty pty;
  auto port = open_port(pty.name());
  ASSERT_TRUE(port);
  pty.send("stale");
  for (int i = 0; i < 500 && *port->bytes_to_read() < 5; ++i) ::usleep(1000);
  EXPECT_EQ(*port->bytes_to_read(), 5u);
  ASSERT_TRUE(port->purge(true, false));
  EXPECT_EQ(*port->bytes_to_read(), 0u);
  EXPECT_TRUE(port->purge(false, false));
  EXPECT_TRUE(port->purge(true, true));
  EXPECT_EQ(*port->bytes_to_write(), 0u);
}

// --- faults ----------------------------------------------------------------

// A read that looks only once (a zero timeout) arms nothing, and tells a
// hung-up line from an idle one without waiting.
TEST(PosixBackend, AOneLookReadSeesAHangUp) {
  Pty pty;
  auto port = open_port(pty.name());
  ASSERT_TRUE(port);
  TestWaker w;
  std::uint8_t data[16];
  ReadBuf idle{data, sizeof data, 0, false};
  ASSERT_TRUE(port->poll_read(w.cx, idle).pending());
  pty.close_master();
  for (int i = 0; i < 3; ++i) {  // no wait in between, and the same answer every time
    ReadBuf buf{data, sizeof data, 0, false};
    auto r = port->poll_read(w.cx, buf);
    ASSERT_TRUE(r.ready());
    if (!r.value()) {
      EXPECT_TRUE(is_fatal(r.value().error())) << r.value().error().text();
    } else {
      EXPECT_EQ(buf.filled, 0u);
    }
  }
  EXPECT_EQ(w.probe->wakes(), 0);
}

TEST(PosixBackend, HangUpWakesAWaitingReaderAndEndsTheRead) {
  Pty pty;
  auto port = open_port(pty.name());
  ASSERT_TRUE(port);
  TestWaker w;
  std::uint8_t data[16];
  ReadBuf buf{data, sizeof data, 0, true};
  ASSERT_TRUE(port->poll_read(w.cx, buf).pending());

  const int seen = w.probe->wakes();
  pty.close_master();
  ASSERT_TRUE(w.probe->wait_beyond(seen)) << "hang-up did not wake the reader";

  auto r = port->poll_read(w.cx, buf);
  ASSERT_TRUE(r.ready());
  // Either a fatal OS error, or completion without data (which the engine
  // turns into its fatal no-data failure).
  if (!r.value()) {
    EXPECT_TRUE(is_fatal(r.value().error())) << r.value().error().text();
  } else {
    EXPECT_EQ(buf.filled, 0u);
  }

  // Writing to the hung-up line fails the same way.
  auto wr = port->poll_write(w.cx, Bytes(data, 4));
  ASSERT_TRUE(wr.ready());
  ASSERT_FALSE(wr.value());
  EXPECT_TRUE(is_fatal(wr.value().error())) << wr.value().error().text();
}

// --- reads that wait on an event loop's poller ---------------------------------

// Whether the poller's descriptor (what the event loop watches) turns readable.
bool poller_readable(const LoopPoller& poller, int ms = 5000) {
  pollfd p{poller.fd(), POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

TEST(LoopPoller, AReadArmedOnTheLoopIsWokenByItsServeOnlyUntilKickedOrTheLoopGoes) {
  Pty pty;
  auto port = open_port(pty.name());
  ASSERT_TRUE(port);
  auto poller = LoopPoller::create();
  ASSERT_TRUE(poller);
  TestWaker w;
  std::uint8_t data[8];
  auto arm_on_loop = [&] {
    ReadBuf buf{data, sizeof data, 0, true};
    LoopPollScope scope(poller.get(), w.probe);
    ASSERT_TRUE(port->poll_read(w.cx, buf).pending());
    EXPECT_EQ(w.probe->loop_wait(), poller.get());
  };

  // Data wakes nobody but the loop: its serve() runs the reader (inline).
  arm_on_loop();
  int seen = w.probe->wakes();
  pty.send("ab");
  ASSERT_TRUE(poller_readable(*poller)) << "the loop was not told";
  EXPECT_FALSE(w.probe->wait_beyond(seen, 100ms)) << "the reactor woke a reader armed on the loop";
  EXPECT_FALSE(poller->serve());  // not the doorbell
  EXPECT_EQ(w.probe->wakes(), seen + 1);
  EXPECT_EQ(read_all(*port, w, 2), "ab");  // armed on the reactor from here on

  // Kicked, the reader goes back to the reactor, which wakes it for data.
  arm_on_loop();
  seen = w.probe->wakes();
  port->kick_loop_reader();
  EXPECT_EQ(w.probe->wakes(), seen + 1);
  EXPECT_EQ(w.probe->loop_wait(), nullptr);
  {
    ReadBuf buf{data, sizeof data, 0, true};
    ASSERT_TRUE(port->poll_read(w.cx, buf).pending());
  }
  seen = w.probe->wakes();
  pty.send("cd");
  ASSERT_TRUE(w.probe->wait_beyond(seen)) << "the reactor did not take the reader back";
  EXPECT_FALSE(poller_readable(*poller, 100)) << "a loop that gave its reader back was still told";
  EXPECT_EQ(read_all(*port, w, 2), "cd");

  // A hang-up reaches a reader on the loop through the loop.
  arm_on_loop();
  seen = w.probe->wakes();
  pty.close_master();
  ASSERT_TRUE(poller_readable(*poller));
  poller->serve();
  EXPECT_EQ(w.probe->wakes(), seen + 1);
  ReadBuf buf{data, sizeof data, 0, true};
  auto r = port->poll_read(w.cx, buf);
  ASSERT_TRUE(r.ready());
  EXPECT_TRUE(!r.value() || buf.filled == 0);
}

TEST(LoopPoller, ALoopThatGoesHandsItsReadersBackAndAPortThatClosesLeavesItsSet) {
  {
    Pty first;  // the reactor's own epoll set is made once, by the first port
    open_port(first.name());
  }
  const std::size_t fds_before = open_fds();
  {
    Pty pty;
    auto port = open_port(pty.name());
    ASSERT_TRUE(port);
    auto poller = LoopPoller::create();
    TestWaker w;
    std::uint8_t data[8];
    ReadBuf buf{data, sizeof data, 0, true};
    {
      LoopPollScope scope(poller.get(), w.probe);
      ASSERT_TRUE(port->poll_read(w.cx, buf).pending());
    }
    const int seen = w.probe->wakes();
    poller->close();
    EXPECT_EQ(w.probe->wakes(), seen + 1);
    EXPECT_EQ(w.probe->loop_wait(), nullptr);

    // A port closed while its reader waits on a loop leaves that loop's set
    // before its descriptor closes: the loop hears nothing more of it.
    auto second = LoopPoller::create();
    {
      LoopPollScope scope(second.get(), w.probe);
      ASSERT_TRUE(port->poll_read(w.cx, buf).pending());
    }
    port.reset();
    pty.send("late");
    EXPECT_FALSE(poller_readable(*second, 100));
  }
  EXPECT_EQ(open_fds(), fds_before);
}

// Reads armed, served, kicked and dropped from several threads at once, as
// a loop's thread, a blocking waiter and a closing thread do.
TEST(LoopPoller, ServeKickAndCloseRaceWithoutLosingAWakeUp) {
  Pty pty;
  auto port = open_port(pty.name());
  ASSERT_TRUE(port);
  auto poller = LoopPoller::create();
  std::atomic<bool> stop{false};
  std::thread kicker([&] {
    while (!stop.load()) {
      port->kick_loop_reader();
      std::this_thread::yield();
    }
  });
  TestWaker w;
  std::uint8_t data[64];
  std::size_t got = 0, sent = 0;
  for (int round = 0; round < 300; ++round) {
    ReadBuf buf{data, sizeof data, 0, true};
    const int seen = w.probe->wakes();
    bool pending;
    {
      LoopPollScope scope(poller.get(), w.probe);
      pending = port->poll_read(w.cx, buf).pending();
    }
    if (pending) {
      pty.send("x");
      ++sent;
      // Woken by the loop (after a serve) or, once kicked, by the reactor.
      for (int i = 0; i < 500 && w.probe->wakes() == seen; ++i)
        if (poller_readable(*poller, 10)) poller->serve();
      ASSERT_GT(w.probe->wakes(), seen) << "round " << round;
      ReadBuf again{data, sizeof data, 0, true};
      auto r = port->poll_read(w.cx, again);
      if (r.ready()) got += again.filled;
    } else {
      got += buf.filled;
    }
  }
  stop = true;
  kicker.join();
  while (poller_readable(*poller, 0)) poller->serve();
  got += read_all(*port, w, sent - got).size();
  EXPECT_EQ(got, sent);
  EXPECT_GT(sent, 0u);
}

// --- through the port engine -------------------------------------------------

class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    port = PortHandle::create(open_backend);
    port->store_settings([](PortSettings& s) { s.timeout = TimeoutValue::floating(0.2); });
    ASSERT_TRUE(port->change_port(pty.name()));
    ASSERT_TRUE(port->open());
  }
  OperationOutcome run(OperationPtr op) { return block_on(*op); }
  // Runs op on its own thread; the future tells whether it finished in time.
  std::future<OperationOutcome> start(OperationPtr op) {
    return std::async(std::launch::async, [op = std::move(op)] { return block_on(*op); });
  }

  Pty pty;
  PortRef port;
};

TEST_F(PtyPort, ReadsAndWritesWithTimeouts) {
  pty.send("hello");
  auto got = run(make_read(port, 10));  // 5 bytes, then the 0.2 s timeout
  ASSERT_TRUE(got);
  EXPECT_EQ(std::get<ByteString>(*got), ByteString({'h', 'e', 'l', 'l', 'o'}));

  pty.send("line one\nline two\n");
  auto line = run(make_readline(port, std::nullopt));
  ASSERT_TRUE(line);
  EXPECT_EQ(std::get<ByteString>(*line).size(), 9u);
  EXPECT_EQ(*port->bytes_to_read(), 9u);
  ASSERT_TRUE(port->reset_input_buffer());
  EXPECT_EQ(*port->bytes_to_read(), 0u);

  auto written = run(make_write(port, ByteString{'o', 'k', '\n'}, true));
  ASSERT_TRUE(written);
  EXPECT_EQ(std::get<std::uint64_t>(*written), 3u);
  EXPECT_EQ(pty.receive(), "ok\n");
  EXPECT_TRUE(run(make_flush(port)));
}

TEST_F(PtyPort, LargeWriteCompletesWhileTheOtherSideReads) {
  ByteString data(256 * 1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 7);
  std::string received;
  std::thread device([&] {
    while (received.size() < data.size()) {
      auto part = pty.receive();
      if (part.empty()) return;
      received += part;
    }
  });
  auto write = start(make_write(port, data, true));
  ASSERT_EQ(write.wait_for(10s), std::future_status::ready);
  auto n = write.get();
  ASSERT_TRUE(n);
  EXPECT_EQ(std::get<std::uint64_t>(*n), data.size());
  EXPECT_TRUE(run(make_flush(port)));
  device.join();
  EXPECT_TRUE(ByteString(received.begin(), received.end()) == data);
}

TEST_F(PtyPort, HangUpDuringABlockingReadClosesThePort) {
  port->store_settings([](PortSettings& s) { s.timeout = TimeoutValue::none(); });
  auto read = start(make_read(port, 10));
  std::this_thread::sleep_for(50ms);
  pty.close_master();
  ASSERT_EQ(read.wait_for(5s), std::future_status::ready) << "read hangs after hang-up";
  auto outcome = read.get();
  ASSERT_FALSE(outcome);
  EXPECT_TRUE(is_fatal(outcome.error())) << outcome.error().text();
  EXPECT_FALSE(port->is_open());
  EXPECT_EQ(run(make_read(port, 1)).error().kind(), ErrorKind::NotOpen);
}

// --- the reading thread waits on the descriptor itself ------------------------

// The system call a thread of this process is blocked in (-1 while it runs).
long blocked_in(pid_t tid) {
  std::ifstream f(std::format("/proc/self/task/{}/syscall", tid));
  long nr = -1;
  f >> nr;
  return nr;
}

bool is_poll_call(long nr) {
#ifdef SYS_poll
  if (nr == SYS_poll) return true;
#endif
  return nr == SYS_ppoll;
}

// A read without timeout driven by run_for on a thread of its own, as a
// blocking call starts; the tests act once that thread sleeps in poll(2): the
// direct wait (a wait for the reactor would sleep on a futex).
class DirectRead {
 public:
  explicit DirectRead(PortRef port) : port_(port), op_(make_read(std::move(port), 4)) {
    std::promise<pid_t> tid;
    auto tid_known = tid.get_future();
    outcome_ = std::async(std::launch::async, [this, tid = std::move(tid)]() mutable {
      tid.set_value(::gettid());
      return run_for(*op_, 60s);
    });
    tid_ = tid_known.get();
  }
  ~DirectRead() {
    if (!outcome_.valid()) return;
    port_->close();  // a test that failed early: end the read
    outcome_.wait();
  }
  bool waits_in_poll() const {
    for (auto until = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < until;) {
      if (is_poll_call(blocked_in(tid_))) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }
  // The outcome, or nullopt if the read is still running after 5 s.
  std::optional<OperationOutcome> outcome() {
    if (outcome_.wait_for(5s) != std::future_status::ready) return std::nullopt;
    return outcome_.get();  // run_for's limit is far beyond that
  }

 private:
  PortRef port_;
  OperationPtr op_;
  pid_t tid_ = 0;
  std::future<std::optional<OperationOutcome>> outcome_;
};

TEST(PosixBackend, DirectWaitOfAReadIsEndedByEveryWakeUp) {
  enum class Ends { WithData, Empty, NotOpen, Fatal };
  struct Case {
    const char* what;
    std::function<void(Pty&, PortHandle&)> act;
    Ends ends;
  };
  const Case cases[] = {
      {"data", [](Pty& pty, PortHandle&) { pty.send("ping"); }, Ends::WithData},
      {"cancel_read", [](Pty&, PortHandle& port) { port.cancel_read(); }, Ends::Empty},
      {"close from another thread", [](Pty&, PortHandle& port) { port.close(); }, Ends::NotOpen},
      // The master going away makes the slave's reads fail with EIO.
      {"hang-up", [](Pty& pty, PortHandle&) { pty.close_master(); }, Ends::Fatal},
  };
  // After a write the read expects the answer not to be there yet and waits
  // before its first attempt; every wake-up must end that wait as well.
  for (const bool after_write : {false, true})
  for (const Case& c : cases) {
    SCOPED_TRACE(std::format("{}{}", c.what, after_write ? ", after a write" : ""));
    Pty pty;
    PortRef port = PortHandle::create(open_backend);
    port->store_settings([](PortSettings& s) { s.timeout = TimeoutValue::none(); });
    ASSERT_TRUE(port->change_port(pty.name()));
    ASSERT_TRUE(port->open());
    if (after_write) {
      ASSERT_TRUE(block_on(*make_write(port, ByteString{'?'}, true)));
      EXPECT_EQ(pty.receive(), "?");
    }

    DirectRead read(port);
    ASSERT_TRUE(read.waits_in_poll()) << "the reader does not wait in poll()";
    c.act(pty, *port);
    auto outcome = read.outcome();
    ASSERT_TRUE(outcome) << "the read was not woken";
    const OperationOutcome& r = *outcome;
    switch (c.ends) {
      case Ends::WithData:
        ASSERT_TRUE(r) << r.error().text();
        EXPECT_EQ(std::get<ByteString>(*r), ByteString({'p', 'i', 'n', 'g'}));
        break;
      case Ends::Empty:
        ASSERT_TRUE(r) << r.error().text();
        EXPECT_TRUE(std::get<ByteString>(*r).empty());
        break;
      case Ends::NotOpen:
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), ErrorKind::NotOpen);
        break;
      case Ends::Fatal:
        ASSERT_FALSE(r);
        EXPECT_TRUE(is_fatal(r.error())) << r.error().text();
        EXPECT_FALSE(port->is_open());
        break;
    }
  }
}

// A read that gets a single look (its deadline already passed) takes what is
// there even when a write made the next read expect nothing yet.
TEST_F(PtyPort, ReadWithoutTimeAfterAWriteStillTakesWhatIsThere) {
  port->store_settings([](PortSettings& s) { s.timeout = TimeoutValue::integer(0); });
  pty.send("ready");
  for (int i = 0; i < 500 && *port->bytes_to_read() < 5; ++i) ::usleep(1000);
  ASSERT_EQ(*port->bytes_to_read(), 5u);
  ASSERT_TRUE(run(make_write(port, ByteString{'?'}, true)));
  auto got = run(make_read(port, 16));
  ASSERT_TRUE(got) << got.error().text();
  EXPECT_EQ(std::get<ByteString>(*got), ByteString({'r', 'e', 'a', 'd', 'y'}));
}

// A hung-up terminal reads 0 for good and polls ready at once: only the
// hang-up the direct wait reports ends the read instead of spinning.
TEST_F(PtyPort, DirectWaitLearnsOfAHangUpThatReadsZero) {
  port->store_settings([](PortSettings& s) { s.timeout = TimeoutValue::none(); });
  int other = ::open(pty.name().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(other, 0) << std::strerror(errno);
  DirectRead read(port);
  ASSERT_TRUE(read.waits_in_poll());
  if (::ioctl(other, TIOCVHANGUP) != 0) {
    const int err = errno;
    ::close(other);
    port->close();
    GTEST_SKIP() << "TIOCVHANGUP refused here: " << std::strerror(err);
  }
  ::close(other);
  auto outcome = read.outcome();
  ASSERT_TRUE(outcome) << "the read did not end after the hang-up";
  ASSERT_FALSE(*outcome);
  EXPECT_TRUE(is_fatal(outcome->error())) << outcome->error().text();
  EXPECT_FALSE(port->is_open());
}

TEST_F(PtyPort, RefusedSettingsChangeKeepsTheOldOnes) {
  ASSERT_TRUE(port->update_settings([](PortSettings& s) { s.baudrate = 57600; }));
  auto st = port->update_settings([](PortSettings& s) {
    s.baudrate = 115200;
    s.bytesize = 4;
  });
  ASSERT_FALSE(st);
  EXPECT_EQ(port->settings().baudrate, 57600u);
  EXPECT_EQ(kernel_speeds(*port->fileno().value()).second, 57600u);
}

// exclusive changed on an open port takes or gives up the locks at once; a
// refusal leaves the port open with the value it had.
TEST_F(PtyPort, ExclusiveChangedWhileOpenTakesEffectAtOnce) {
  auto other = PortHandle::create(open_backend);
  ASSERT_TRUE(other->change_port(pty.name()));
  ASSERT_TRUE(other->open());

  ASSERT_TRUE(port->set_exclusive(true));
  auto refused = other->set_exclusive(true);
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().text().starts_with("could not lock port '" + pty.name() + "': the port is locked"))
      << refused.error().text();
  EXPECT_TRUE(other->is_open());
  EXPECT_EQ(other->settings().exclusive, std::nullopt);

  ASSERT_TRUE(port->set_exclusive(false));
  EXPECT_EQ(port->settings().exclusive, false);
  ASSERT_TRUE(other->set_exclusive(true));
  EXPECT_FALSE(port->set_exclusive(true));
  EXPECT_EQ(port->settings().exclusive, false);
  EXPECT_TRUE(port->is_open());
}

TEST_F(PtyPort, FailedOpenLeavesThePortClosedWithoutLeaks) {
  auto other = PortHandle::create(open_backend);
  other->store_settings([](PortSettings& s) { s.exclusive = true; });
  ASSERT_TRUE(other->change_port(pty.name()));
  ASSERT_TRUE(other->open());

  auto third = PortHandle::create(open_backend);
  third->store_settings([](PortSettings& s) { s.exclusive = true; });
  ASSERT_TRUE(third->change_port(pty.name()));
  const std::size_t before = open_fds();
  auto st = third->open();
  ASSERT_FALSE(st);
  EXPECT_TRUE(st.error().text().starts_with("could not open port '" + pty.name() + "': ")) << st.error().text();
  EXPECT_FALSE(third->is_open());
  ASSERT_TRUE(third->change_port("/dev/does-not-exist-corvalink"));
  EXPECT_FALSE(third->open());
  EXPECT_EQ(open_fds(), before);

  other->close();
  ASSERT_TRUE(third->change_port(pty.name()));
  EXPECT_TRUE(third->open());
}

}  // namespace
}  // namespace corvalink

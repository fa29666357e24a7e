// The overlapped COM backend over the simulated Win32 layer: open and its
// clean-up, the DCB mapping, the slots' state machines, wake-ups from the
// wait callbacks, and the write's detach and abort. Every test ends with no
// handle, event, wait registration or operation left behind.
#include <gtest/gtest.h>

#include <string>

#include "backends/open.hpp"
#include "backends/windows/overlapped.hpp"
#include "../../engine/engine_support.hpp"
#include "win32_sim.hpp"

namespace corvalink::test {
namespace {

using win32::Dword;

std::string joined(const std::vector<std::string>& v) {
  std::string out;
  for (const auto& s : v) out += s + "; ";
  return out;
}

class OverlappedTest : public ::testing::Test {
 protected:
  void SetUp() override { sim.add_device(); }

  void TearDown() override {
    backend.reset();
    EXPECT_EQ(sim.open_handles(), 0);
    EXPECT_EQ(sim.live_events(), 0);
    EXPECT_EQ(sim.live_waits(), 0);
    EXPECT_EQ(sim.pending_operations(), 0);
    EXPECT_TRUE(sim.violations().empty()) << joined(sim.violations());
  }

  void open(std::string_view name = "COM3") {
    auto b = OverlappedBackend::open(sim, name);
    ASSERT_TRUE(b) << "open failed with " << b.error();
    backend = std::move(*b);
  }

  // Reads what poll_read appends to a buffer of `room` bytes (pending: nullopt).
  std::optional<std::string> read(Probe& p, std::size_t room) {
    std::string buf(room, '\0');
    ReadBuf rb{reinterpret_cast<std::uint8_t*>(buf.data()), room};
    auto r = backend->poll_read(p.cx(), rb);
    if (r.pending()) return std::nullopt;
    EXPECT_TRUE(r.value()) << r.value().error().text();
    buf.resize(rb.filled);
    return buf;
  }

  Poll<Result<std::size_t>> write(Probe& p, std::string_view s) {
    return backend->poll_write(p.cx(), Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
  }

  SimComm sim;  // outlives the backend
  std::unique_ptr<OverlappedBackend> backend;
};

// --- open, configure, destruction ---------------------------------------------

TEST_F(OverlappedTest, DevicePathsAndTheDriverSetUpAtOpen) {
  struct Case {
    const char* name;
    const char* path;
  };
  const Case cases[] = {
      {"COM3", "\\\\.\\COM3"},
      {"\\\\.\\COM3", "\\\\.\\COM3"},
      {"\\COM3", "\\COM3"},              // a leading backslash is never prefixed
      {"COM\\3", "\\\\.\\COM\\3"},       // a later one does not count
      {"", "\\\\.\\"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto b = OverlappedBackend::open(sim, c.name);
    EXPECT_EQ(sim.last_create().path, c.path);
    if (std::string_view(c.path) == SimComm::kDefaultPath) {
      EXPECT_TRUE(b);
    } else {
      ASSERT_FALSE(b);
      EXPECT_EQ(b.error(), win32::kErrorFileNotFound);
    }
  }
  EXPECT_EQ(win32::device_path("COM\xC3\xA9"), std::u16string(u"\\\\.\\COM\u00E9") + u'\0');

  open();
  const auto create = sim.last_create();
  EXPECT_EQ(create.access, 0xC0000000u);
  EXPECT_EQ(create.share, 0u);
  EXPECT_EQ(create.disposition, 3u);
  EXPECT_EQ(create.flags, 0x40000000u);
  const auto dev = sim.device();
  EXPECT_EQ(dev.in_queue_size, 4096u);
  EXPECT_EQ(dev.out_queue_size, 4096u);
  EXPECT_EQ(dev.timeouts.read_interval_timeout, 0xFFFFFFFFu);
  EXPECT_EQ(dev.timeouts.read_total_timeout_multiplier, 0u);
  EXPECT_EQ(dev.timeouts.read_total_timeout_constant, 0u);
  EXPECT_EQ(dev.timeouts.write_total_timeout_multiplier, 0u);
  EXPECT_EQ(dev.timeouts.write_total_timeout_constant, 0u);
  EXPECT_EQ(dev.mask, win32::kEvRxChar);
  EXPECT_EQ(sim.live_events(), 3);
  EXPECT_EQ(sim.calls(Call::RegisterWait), 0);
}

TEST_F(OverlappedTest, ASecondOpenIsRefusedWhateverExclusiveSays) {
  open();
  PortSettings s;
  s.exclusive = false;
  auto second = open_overlapped_backend(sim, "COM3", s, true, true);
  ASSERT_FALSE(second);
  EXPECT_FALSE(second.error().configure_failed);
  EXPECT_EQ(second.error().error.code(), 5);
  EXPECT_EQ(second.error().error.text(), "Access is denied.");
  EXPECT_EQ(second.error().error.code_space(), CodeSpace::Win32);
}

TEST_F(OverlappedTest, EveryFailingOpenStepLeavesNothingOpen) {
  struct Case {
    Call call;
    int skip;
  };
  const Case cases[] = {{Call::CreateFile, 0}, {Call::SetCommTimeouts, 0}, {Call::SetCommMask, 0},
                        {Call::CreateEvent, 0}, {Call::CreateEvent, 1},    {Call::CreateEvent, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.call) * 10 + c.skip);
    sim.fail(c.call, 1234, c.skip);
    auto b = OverlappedBackend::open(sim, "COM3");
    ASSERT_FALSE(b);
    EXPECT_EQ(b.error(), 1234u);
    EXPECT_EQ(sim.open_handles(), 0);
    EXPECT_EQ(sim.live_events(), 0);
  }
  // A driver that refuses the queue sizes keeps its own; the open goes on.
  sim.fail(Call::SetupComm, 87);
  open();
}

TEST_F(OverlappedTest, AConfigureFailureDuringOpenClosesTheDeviceAndIsReturnedUnchanged) {
  for (Call call : {Call::GetCommState, Call::SetCommState}) {
    sim.fail(call, 31);
    auto b = open_overlapped_backend(sim, "COM3", PortSettings{}, true, true);
    ASSERT_FALSE(b);
    EXPECT_TRUE(b.error().configure_failed);
    EXPECT_EQ(b.error().error.code(), 31);
    EXPECT_EQ(b.error().error.text(), "A device attached to the system is not functioning.");
    EXPECT_EQ(sim.open_handles(), 0);
    EXPECT_EQ(sim.live_events(), 0);
  }
}

// The COM backend has no RS-485 direction control. Windows builds refuse a
// mode before it is stored; the backend refuses one that reaches it anyway,
// and leaves the device as it was.
TEST_F(OverlappedTest, RS485IsRefusedOnThisPlatform) {
  PortSettings s;
  s.rs485 = Rs485Settings{};
  EXPECT_TRUE(check_rs485_support(std::nullopt));
#if defined(_WIN32)
  auto refused = check_rs485_support(s.rs485);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(), "RS-485 mode is not supported on this platform");
#else
  EXPECT_TRUE(check_rs485_support(s.rs485));
#endif
  open();
  const int sets = sim.calls(Call::SetCommState);
  auto configured = backend->configure(s, true, true);
  ASSERT_FALSE(configured);
  EXPECT_EQ(configured.error().text(), "RS-485 mode is not supported on this platform");
  EXPECT_EQ(sim.calls(Call::SetCommState), sets);
}

TEST_F(OverlappedTest, SettingsMapOntoTheDcb) {
  using namespace win32::dcb;
  constexpr Dword kKept = kTxContinueOnXoff | (1u << 20);  // of what the driver below reports
  struct Case {
    const char* what;
    PortSettings s;
    bool rts, dtr;
    std::uint8_t parity, stop_bits;
    Dword flags;
  };
  auto with = [](auto f) {
    PortSettings s;
    f(s);
    return s;
  };
  const Dword rts_on = 1u << kRtsControlShift, dtr_on = 1u << kDtrControlShift;
  const Case cases[] = {
      {"defaults", PortSettings{}, true, true, 0, 0, kKept | kBinary | rts_on | dtr_on},
      {"lines off", PortSettings{}, false, false, 0, 0, kKept | kBinary},
      {"even", with([](PortSettings& s) { s.parity = Parity::Even; }), true, true, 2, 0,
       kKept | kBinary | kParity | rts_on | dtr_on},
      {"odd", with([](PortSettings& s) { s.parity = Parity::Odd; }), true, true, 1, 0,
       kKept | kBinary | kParity | rts_on | dtr_on},
      {"mark", with([](PortSettings& s) { s.parity = Parity::Mark; }), true, true, 3, 0,
       kKept | kBinary | kParity | rts_on | dtr_on},
      {"space", with([](PortSettings& s) { s.parity = Parity::Space; }), true, true, 4, 0,
       kKept | kBinary | kParity | rts_on | dtr_on},
      {"1.5 stop bits", with([](PortSettings& s) { s.bytesize = 5;
         s.stopbits = StopBits::OnePointFive; }), true, true,
       0, 1, kKept | kBinary | rts_on | dtr_on},
      {"2 stop bits", with([](PortSettings& s) { s.stopbits = StopBits::Two; }), true, true, 0, 2,
       kKept | kBinary | rts_on | dtr_on},
      {"rtscts overrides rts", with([](PortSettings& s) { s.rtscts = true; }), false, true, 0, 0,
       kKept | kBinary | kOutxCtsFlow | (2u << kRtsControlShift) | dtr_on},
      {"dsrdtr overrides dtr", with([](PortSettings& s) { s.dsrdtr = true; }), true, false, 0, 0,
       kKept | kBinary | kOutxDsrFlow | (2u << kDtrControlShift) | rts_on},
      {"xonxoff", with([](PortSettings& s) { s.xonxoff = true; }), true, true, 0, 0,
       kKept | kBinary | kOutX | kInX | rts_on | dtr_on},
  };
  // A driver that reports every flag set: only fTXContinueOnXoff and the
  // reserved bits survive.
  win32::Dcb driver{};
  driver.length = 28;
  driver.baud_rate = 9600;
  driver.byte_size = 8;
  driver.flags = 0x7FFFu | (1u << 20);  // every defined bit and one reserved bit
  driver.xon_lim = 2048;
  driver.xoff_lim = 512;
  driver.error_char = '?';
  driver.eof_char = 0x1A;
  driver.evt_char = 0x7E;
  driver.reserved1 = 0x5A5A;
  sim.set_driver_dcb(driver);
  open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PortSettings s = c.s;
    s.baudrate = 123457;
    ASSERT_TRUE(backend->configure(s, c.rts, c.dtr));
    const win32::Dcb dcb = sim.device().dcb;
    EXPECT_EQ(dcb.length, 28u);
    EXPECT_EQ(dcb.baud_rate, 123457u);
    EXPECT_EQ(dcb.byte_size, s.bytesize);
    EXPECT_EQ(dcb.parity, c.parity);
    EXPECT_EQ(dcb.stop_bits, c.stop_bits);
    EXPECT_EQ(dcb.flags, c.flags) << std::hex << dcb.flags;
    EXPECT_EQ(dcb.xon_char, 0x11);
    EXPECT_EQ(dcb.xoff_char, 0x13);
    EXPECT_EQ(dcb.xon_lim, 2048);
    EXPECT_EQ(dcb.xoff_lim, 512);
    EXPECT_EQ(dcb.error_char, '?');
    EXPECT_EQ(dcb.eof_char, 0x1A);
    EXPECT_EQ(dcb.evt_char, 0x7E);
    EXPECT_EQ(dcb.reserved1, 0x5A5A);
  }
  // A DCB the driver refuses leaves the previous settings.
  const win32::Dcb before = sim.device().dcb;
  PortSettings bad;
  bad.bytesize = 5;
  bad.stopbits = StopBits::Two;
  Status refused = backend->configure(bad, true, true);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code(), 87);
  EXPECT_EQ(refused.error().text(), "The parameter is incorrect.");
  EXPECT_EQ(sim.device().dcb.byte_size, before.byte_size);
  EXPECT_EQ(sim.device().dcb.flags, before.flags);
}

TEST_F(OverlappedTest, BufferSizeGoesToTheDriverAndItsRefusalIsReported) {
  open();
  ASSERT_TRUE(backend->set_buffer_size(1000, 2000));
  EXPECT_EQ(sim.device().in_queue_size, 1000u);
  EXPECT_EQ(sim.device().out_queue_size, 2000u);
  sim.fail(Call::SetupComm, 87);
  Status s = backend->set_buffer_size(1, 1);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().code(), 87);
}

// --- immediate operations --------------------------------------------------------

TEST_F(OverlappedTest, LinesStatusAndQueuesUseTheirCodes) {
  open();
  ASSERT_TRUE(backend->set_rts(true));
  ASSERT_TRUE(backend->set_rts(false));
  ASSERT_TRUE(backend->set_dtr(true));
  ASSERT_TRUE(backend->set_dtr(false));
  EXPECT_EQ(sim.device().escapes, (std::vector<Dword>{3, 4, 5, 6}));

  struct Bit {
    Dword status;
    Result<bool> (OverlappedBackend::*read)();
  };
  for (const Bit& b : {Bit{0x10, &OverlappedBackend::read_cts}, Bit{0x20, &OverlappedBackend::read_dsr},
                       Bit{0x40, &OverlappedBackend::read_ri}, Bit{0x80, &OverlappedBackend::read_cd}}) {
    sim.set_modem_status(b.status);
    EXPECT_EQ(((*backend).*b.read)().value(), true) << b.status;
    sim.set_modem_status(0xFF & ~b.status);
    EXPECT_EQ(((*backend).*b.read)().value(), false) << b.status;
  }

  ASSERT_TRUE(backend->set_break(true));
  EXPECT_TRUE(sim.device().brk);
  ASSERT_TRUE(backend->set_break(false));
  EXPECT_FALSE(sim.device().brk);

  ASSERT_TRUE(backend->purge(true, false));
  ASSERT_TRUE(backend->purge(false, true));
  ASSERT_TRUE(backend->purge(true, true));
  ASSERT_TRUE(backend->purge(false, false));  // no call at all
  EXPECT_EQ(sim.device().purges, (std::vector<Dword>{0x0A, 0x05, 0x0F}));

  sim.feed("abc");
  EXPECT_EQ(backend->bytes_to_read().value(), 3u);
  EXPECT_EQ(backend->bytes_to_write().value(), 0u);
  EXPECT_EQ(backend->fileno(), std::nullopt);
  EXPECT_TRUE(backend->drains_output().value());
}

TEST_F(OverlappedTest, AFailingCallBecomesAFailureWithItsCodeAndText) {
  open();
  struct Case {
    Call call;
    std::function<PortError(OverlappedBackend&)> run;
  };
  auto err = [](auto r) { return r.error(); };
  const Case cases[] = {
      {Call::EscapeCommFunction, [&](OverlappedBackend& b) { return err(b.set_rts(true)); }},
      {Call::GetCommModemStatus, [&](OverlappedBackend& b) { return err(b.read_cd()); }},
      {Call::ClearCommError, [&](OverlappedBackend& b) { return err(b.bytes_to_read()); }},
      {Call::ClearCommError, [&](OverlappedBackend& b) { return err(b.bytes_to_write()); }},
      {Call::PurgeComm, [&](OverlappedBackend& b) { return err(b.purge(true, false)); }},
      {Call::SetCommBreak, [&](OverlappedBackend& b) { return err(b.set_break(true)); }},
      {Call::ClearCommBreak, [&](OverlappedBackend& b) { return err(b.set_break(false)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.call));
    sim.fail(c.call, 1617);
    PortError e = c.run(*backend);
    EXPECT_EQ(e.kind(), ErrorKind::Failure);
    EXPECT_EQ(e.code(), 1617);
    EXPECT_EQ(e.text(), "The device has been removed.");
    EXPECT_TRUE(is_fatal(e));
  }
}

// --- reading ---------------------------------------------------------------------

TEST_F(OverlappedTest, ReadTakesWhatIsQueuedUpToTheRoom) {
  open();
  Probe p;
  EXPECT_EQ(read(p, 0), "");  // no room: no call at all
  EXPECT_EQ(sim.calls(Call::ClearCommError), 0);

  sim.feed("0123456789");
  EXPECT_EQ(read(p, 4), "0123");
  EXPECT_EQ(read(p, 4), "4567");
  EXPECT_EQ(read(p, 100), "89");
  EXPECT_EQ(sim.read_sizes(), (std::vector<Dword>{4, 4, 2}));
  EXPECT_EQ(sim.calls(Call::WaitCommEvent), 0);
  EXPECT_EQ(sim.calls(Call::RegisterWait), 0);
}

TEST_F(OverlappedTest, AnEmptyQueueWaitsForACharacterAndWakesOnce) {
  open();
  Probe p;
  EXPECT_EQ(read(p, 8), std::nullopt);
  EXPECT_EQ(sim.calls(Call::WaitCommEvent), 1);
  EXPECT_EQ(sim.live_waits(), 1);
  EXPECT_EQ(sim.last_register().timeout, 0xFFFFFFFFu);
  EXPECT_EQ(sim.last_register().flags, 0x8u);
  EXPECT_EQ(p.wakes(), 0);

  sim.feed("hi");
  ASSERT_TRUE(SimComm::eventually([&] { return p.wakes() == 1; }));
  EXPECT_EQ(read(p, 8), "hi");  // straight from the queue; the wait is collected later
  EXPECT_EQ(read(p, 8), std::nullopt);
  EXPECT_EQ(sim.calls(Call::WaitCommEvent), 2);
  EXPECT_EQ(sim.calls(Call::RegisterWait), 2);
  EXPECT_EQ(sim.calls(Call::UnregisterWaitEx), 1);
  EXPECT_EQ(sim.live_waits(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(p.wakes(), 1);
}

TEST_F(OverlappedTest, AnAbandonedWaitIsReusedByTheNextReader) {
  open();
  Probe first, second;
  EXPECT_EQ(read(first, 8), std::nullopt);
  EXPECT_EQ(read(second, 8), std::nullopt);  // the first reader gave up
  EXPECT_EQ(sim.calls(Call::WaitCommEvent), 1);
  EXPECT_EQ(sim.calls(Call::RegisterWait), 1);
  sim.feed("x");
  ASSERT_TRUE(SimComm::eventually([&] { return second.wakes() == 1; }));
  EXPECT_EQ(first.wakes(), 0);
  EXPECT_EQ(read(second, 8), "x");
}

TEST_F(OverlappedTest, AWaitThatEndsAtOnceSendsTheReadBackToTheQueue) {
  open();
  Probe p;
  sim.feed("a");
  EXPECT_EQ(read(p, 8), "a");
  // The character's event is still recorded, so the first WaitCommEvent
  // completes at once; the queue is empty again and the second one waits.
  EXPECT_EQ(read(p, 8), std::nullopt);
  EXPECT_EQ(sim.calls(Call::WaitCommEvent), 2);
  sim.feed("b");
  ASSERT_TRUE(SimComm::eventually([&] { return p.wakes() == 1; }));
  EXPECT_EQ(read(p, 8), "b");
}

TEST_F(OverlappedTest, ReadFailuresEndThePollAndTheNextPollStartsAfresh) {
  open();
  Probe p;
  std::string buf(8, '\0');
  ReadBuf rb{reinterpret_cast<std::uint8_t*>(buf.data()), 8};

  sim.fail(Call::ClearCommError, 22);
  auto r = backend->poll_read(p.cx(), rb);
  ASSERT_TRUE(r.ready());
  EXPECT_EQ(r.value().error().code(), 22);

  // A WaitCommEvent that fails to start leaves the slot idle.
  sim.fail(Call::WaitCommEvent, 31);
  r = backend->poll_read(p.cx(), rb);
  ASSERT_TRUE(r.ready());
  EXPECT_EQ(r.value().error().code(), 31);
  EXPECT_EQ(sim.pending_operations(), 0);

  // A failed registration leaves the wait outstanding; the next poll
  // registers without a second WaitCommEvent.
  sim.fail(Call::RegisterWait, 8);
  r = backend->poll_read(p.cx(), rb);
  ASSERT_TRUE(r.ready());
  EXPECT_EQ(r.value().error().code(), 8);
  EXPECT_EQ(sim.pending_operations(), 1);
  EXPECT_EQ(read(p, 8), std::nullopt);
  EXPECT_EQ(sim.calls(Call::WaitCommEvent), 2);
  EXPECT_EQ(sim.live_waits(), 1);

  // The wait's completion reports an error: the slot is idle and unregistered.
  sim.feed("z");
  ASSERT_TRUE(SimComm::eventually([&] { return p.wakes() == 1; }));
  ASSERT_TRUE(backend->purge(true, false));
  sim.fail(Call::GetOverlappedResult, 1617);
  r = backend->poll_read(p.cx(), rb);
  ASSERT_TRUE(r.ready());
  EXPECT_EQ(r.value().error().code(), 1617);
  EXPECT_EQ(sim.live_waits(), 0);
  EXPECT_EQ(sim.pending_operations(), 0);
  EXPECT_EQ(read(p, 8), std::nullopt);
  EXPECT_EQ(sim.calls(Call::WaitCommEvent), 3);

  sim.feed("q");
  sim.fail(Call::ReadFile, 5);
  r = backend->poll_read(p.cx(), rb);
  ASSERT_TRUE(r.ready());
  EXPECT_EQ(r.value().error().code(), 5);
  EXPECT_EQ(read(p, 8), "q");
}

// --- writing ---------------------------------------------------------------------

TEST_F(OverlappedTest, WritesThatFinishAtOnceNeedNoWait) {
  open();
  Probe p;
  auto r = write(p, "");
  ASSERT_TRUE(r.ready());
  EXPECT_EQ(r.value().value(), 0u);
  EXPECT_EQ(sim.calls(Call::WriteFile), 0);

  r = write(p, "hello");
  ASSERT_TRUE(r.ready());
  EXPECT_EQ(r.value().value(), 5u);
  EXPECT_EQ(sim.calls(Call::RegisterWait), 0);
  std::string sent;
  ASSERT_TRUE(SimComm::eventually([&] { return (sent += sim.take_sent()) == "hello"; }));

  sim.fail(Call::WriteFile, 1617);
  r = write(p, "x");
  ASSERT_TRUE(r.ready());
  EXPECT_EQ(r.value().error().code(), 1617);
  EXPECT_EQ(sim.pending_operations(), 0);
}

TEST_F(OverlappedTest, APendingWriteReportsItsOwnCountWhateverTheNextCallPasses) {
  open();
  sim.set_line_rate(0);
  Probe p;
  const std::string big(5000, 'a');
  EXPECT_TRUE(write(p, big).pending());
  EXPECT_EQ(sim.live_waits(), 1);
  std::string other = "zzz";
  EXPECT_TRUE(write(p, other).pending());
  EXPECT_EQ(sim.calls(Call::WriteFile), 1);

  Probe flusher;
  EXPECT_TRUE(backend->poll_flush(flusher.cx()).pending());
  EXPECT_TRUE(backend->poll_shutdown(p.cx()).ready());
  EXPECT_EQ(sim.pending_operations(), 1);  // shutdown left the write alone

  sim.set_line_rate(1000);
  ASSERT_TRUE(SimComm::eventually([&] { return flusher.wakes() >= 1; }));
  auto r = write(p, other);
  ASSERT_TRUE(r.ready());
  EXPECT_EQ(r.value().value(), 5000u);
  EXPECT_TRUE(backend->poll_flush(flusher.cx()).ready());
  std::string sent;
  ASSERT_TRUE(SimComm::eventually([&] { return (sent += sim.take_sent()).size() >= 5000; }));
  EXPECT_EQ(sent, big);
}

TEST_F(OverlappedTest, PurgingTheOutputEndsAPendingWriteWithItsPartialCount) {
  open();
  sim.set_line_rate(0);
  Probe p;
  EXPECT_TRUE(write(p, std::string(5000, 'a')).pending());
  ASSERT_TRUE(backend->purge(false, true));
  ASSERT_TRUE(SimComm::eventually([&] { return p.wakes() == 1; }));
  auto r = write(p, "next");
  ASSERT_TRUE(r.ready());
  EXPECT_EQ(r.value().value(), 4096u);  // what had entered the output queue
  EXPECT_EQ(sim.live_waits(), 0);
}

TEST_F(OverlappedTest, AbortCancelsTheWriteInFlightAndReportsItsCount) {
  open();
  EXPECT_EQ(backend->abort_write().value(), 0u);  // nothing in flight
  sim.set_line_rate(0);
  Probe p;
  EXPECT_TRUE(write(p, std::string(6000, 'a')).pending());
  EXPECT_EQ(backend->abort_write().value(), 4096u);
  EXPECT_EQ(sim.pending_operations(), 0);
  EXPECT_EQ(sim.live_waits(), 0);
  EXPECT_EQ(backend->abort_write().value(), 0u);
}

TEST_F(OverlappedTest, ADetachedWriteFinishesOnItsOwnBeforeTheNextOneStarts) {
  open();
  sim.set_line_rate(0);
  Probe p;
  EXPECT_EQ(backend->detach_write(), 0u);  // nothing in flight
  EXPECT_TRUE(write(p, std::string(5000, 'a')).pending());
  EXPECT_EQ(backend->detach_write(), 5000u);
  EXPECT_EQ(backend->detach_write(), 0u);  // already detached
  EXPECT_EQ(backend->abort_write().value(), 0u);
  EXPECT_EQ(sim.calls(Call::CancelIoEx), 0);

  EXPECT_TRUE(write(p, "bb").pending());  // waits for the detached write
  EXPECT_EQ(sim.calls(Call::WriteFile), 1);
  sim.set_line_rate(1000);
  ASSERT_TRUE(SimComm::eventually([&] { return p.wakes() >= 1; }));
  auto r = write(p, "bb");
  ASSERT_TRUE(r.ready());
  EXPECT_EQ(r.value().value(), 2u);  // its own count, not the detached one
  EXPECT_EQ(sim.calls(Call::WriteFile), 2);
  std::string sent;
  ASSERT_TRUE(SimComm::eventually([&] { return (sent += sim.take_sent()).size() >= 5002; }));
  EXPECT_EQ(sent, std::string(5000, 'a') + "bb");
}

TEST_F(OverlappedTest, DestructionCancelsWhatIsPendingAndWaitsForIt) {
  open();
  sim.set_line_rate(0);
  Probe reader, writer;
  EXPECT_EQ(read(reader, 8), std::nullopt);
  EXPECT_TRUE(write(writer, std::string(5000, 'a')).pending());
  EXPECT_EQ(sim.pending_operations(), 2);
  EXPECT_EQ(sim.live_waits(), 2);
  backend.reset();  // the fixture checks that nothing is left
  EXPECT_EQ(sim.calls(Call::CancelIoEx), 2);
}

}  // namespace
}  // namespace corvalink::test

// The port handle and its operations, over the loopback and a scripted backend.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <future>
#include <limits>
#include <thread>

#include "engine_support.hpp"

namespace corvalink::test {
namespace {

TimeoutValue secs(double s) { return TimeoutValue::floating(s); }

std::future<OperationOutcome> run_async(OperationPtr op) {
  return std::async(std::launch::async, [op = std::move(op)]() mutable { return run(*op); });
}

// --- handle lifecycle --------------------------------------------------------

TEST(PortHandle, OpenAndCloseStates) {
  PortRef port = PortHandle::create(open_backend);
  EXPECT_EQ(port->state(), PortState::Unconfigured);
  EXPECT_EQ(port->open().error().kind(), ErrorKind::NotConfigured);
  EXPECT_EQ(port->bytes_to_read().error().kind(), ErrorKind::NotOpen);
  ASSERT_TRUE(port->change_port("LOOP://anything"));
  EXPECT_EQ(port->state(), PortState::Closed);
  ASSERT_TRUE(port->open());
  EXPECT_EQ(port->state(), PortState::Open);
  EXPECT_EQ(port->open().error().kind(), ErrorKind::AlreadyOpen);
  EXPECT_TRUE(port->is_open());
  port->close();
  port->close();  // closing a closed port does nothing
  EXPECT_FALSE(port->is_open());
  EXPECT_EQ(port->bytes_to_read().error().kind(), ErrorKind::NotOpen);
  EXPECT_EQ(run(make_read(port, 0)).error().kind(), ErrorKind::NotOpen);
}

TEST(PortHandle, ChangingThePortReopensOnlyAnOpenPort) {
  PortRef port = open_loopback();
  put(port, "abc");
  ASSERT_TRUE(port->change_port("loop://other"));
  EXPECT_TRUE(port->is_open());
  EXPECT_EQ(port->bytes_to_read().value(), 0u);  // a new backend
  Status failed = port->change_port("/dev/corvalink-no-such-device");
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), ErrorKind::Failure);
  EXPECT_FALSE(port->is_open());
  ASSERT_TRUE(port->change_port("loop://"));
  EXPECT_FALSE(port->is_open());  // it was closed, so it stays closed
  EXPECT_EQ(port->port_name(), "loop://");
}

TEST(PortHandle, DataIsLostByCloseAndReopen) {
  PortRef port = open_loopback();
  put(port, "abc");
  port->close();
  ASSERT_TRUE(port->open());
  EXPECT_EQ(port->bytes_to_read().value(), 0u);
}

TEST(PortHandle, ModemLinesAreStoredWhileClosedAndFollowFlowControl) {
  PortRef port = PortHandle::create(open_backend);
  ASSERT_TRUE(port->change_port("loop://"));
  ASSERT_TRUE(port->set_rts(false));
  ASSERT_TRUE(port->open());
  EXPECT_FALSE(port->read_cts().value());  // applied by open
  ASSERT_TRUE(port->update_settings([](PortSettings& s) { s.rtscts = true; }));
  ASSERT_TRUE(port->set_rts(true));
  EXPECT_TRUE(port->rts());
  EXPECT_FALSE(port->read_cts().value());  // stored, line not driven
  ASSERT_TRUE(port->set_dtr(false));
  EXPECT_FALSE(port->read_dsr().value());
}

TEST(PortHandle, TimeoutsAreReadWholeWhileTheyChange) {
  PortRef port = PortHandle::create(open_backend);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) {
      const TimeoutValue v = i % 2 ? TimeoutValue::integer(i) : TimeoutValue::floating(i);
      port->store_settings([&](PortSettings& s) { s.timeout = s.write_timeout = s.inter_byte_timeout = v; });
    }
  });
  for (int i = 0; i < 20000; ++i) {
    const PortHandle::Timeouts t = port->timeouts();
    ASSERT_EQ(t.timeout.kind(), t.write_timeout.kind());
    ASSERT_EQ(t.timeout.to_duration(), t.write_timeout.to_duration());
    ASSERT_EQ(t.timeout.to_duration(), t.inter_byte_timeout.to_duration());
  }
  stop = true;
  writer.join();
  const PortSettings settings = port->settings();
  EXPECT_EQ(port->timeouts().timeout.to_duration(), settings.timeout.to_duration());
}

TEST(PortHandle, ConfigureOnlyOnLineChangeAndRestoreOnFailure) {
  auto script = std::make_shared<Script>();
  PortRef port = open_scripted(script);
  ASSERT_TRUE(port->update_settings([](PortSettings& s) { s.timeout = TimeoutValue::integer(3); }));
  ASSERT_TRUE(port->update_settings([](PortSettings& s) { s.baudrate = 9600; }));  // unchanged
  EXPECT_EQ(script->configures, 0);
  ASSERT_TRUE(port->update_settings([](PortSettings& s) { s.baudrate = 115200; }));
  EXPECT_EQ(script->configures, 1);

  script->configure_error = from_os_error(EINVAL);
  Status failed = port->update_settings([](PortSettings& s) {
    s.baudrate = 50;
    s.timeout = TimeoutValue::integer(9);
  });
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().code(), EINVAL);
  PortSettings now = port->settings();
  EXPECT_EQ(now.baudrate, 115200u);
  EXPECT_EQ(now.timeout, TimeoutValue::integer(3));
  EXPECT_TRUE(port->is_open());
}

// --- reading -----------------------------------------------------------------

TEST(Read, TimeoutMatrix) {
  struct Case {
    const char* name;
    TimeoutValue timeout;
    TimeoutValue inter_byte;
    const char* buffered;
    std::size_t size;
    const char* expected;
  };
  const Case cases[] = {
      {"none, enough data", {}, {}, "hello", 5, "hello"},
      {"none, size 0", {}, {}, "", 0, ""},
      {"zero, some data", TimeoutValue::integer(0), {}, "abc", 10, "abc"},
      {"zero, no data", secs(0.0), {}, "", 10, ""},
      {"positive, no data", secs(0.05), {}, "", 10, ""},
      {"positive, some data", secs(0.05), {}, "abc", 10, "abc"},
      {"positive, more than size", TimeoutValue::integer(1), {}, "abcdef", 4, "abcd"},
      {"none with inter-byte, some data", {}, secs(0.05), "abc", 10, "abc"},
      {"positive with inter-byte, no data", secs(0.05), secs(0.01), "", 10, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PortRef port = open_loopback();
    set_timeouts(*port, c.timeout, c.inter_byte);
    if (*c.buffered) put(port, c.buffered);
    EXPECT_EQ(read_text(run(make_read(port, c.size))), c.expected);
  }
}

TEST(Read, WithoutTimeoutWaitsForEveryByte) {
  PortRef port = open_loopback();
  auto reading = run_async(make_read(port, 5));
  std::this_thread::sleep_for(20ms);
  put(port, "he");
  std::this_thread::sleep_for(20ms);
  put(port, "llo!");
  EXPECT_EQ(read_text(reading.get()), "hello");
  EXPECT_EQ(port->bytes_to_read().value(), 1u);
}

TEST(Read, BufferedDataCompletesInTheFirstPoll) {
  for (TimeoutValue t : {TimeoutValue(), TimeoutValue::integer(0), secs(1.0)}) {
    PortRef port = open_loopback();
    set_timeouts(*port, t);
    put(port, "xyz");
    OperationPtr op = make_read(port, 3);
    Probe p;
    auto out = op->poll(p.cx());
    ASSERT_TRUE(out.ready());
    EXPECT_EQ(read_text(out.value()), "xyz");
  }
}

TEST(ReadUntil, StopsAtTheTerminatorOrTheSize) {
  struct Case {
    const char* name;
    const char* buffered;
    const char* expected_terminator;
    std::optional<std::size_t> size;
    const char* result;
    std::uint64_t left;
  };
  const Case cases[] = {
      {"terminator", "xxOKyy", "OK", std::nullopt, "xxOK", 2},
      {"empty terminator never matches", "abcdef", "", 3, "abc", 3},
      {"size before terminator", "abcOK", "OK", 2, "ab", 3},
      {"timeout without terminator", "abc", "OK", std::nullopt, "abc", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PortRef port = open_loopback();
    set_timeouts(*port, secs(0.02));
    put(port, c.buffered);
    EXPECT_EQ(read_text(run(make_read_until(port, bytes(c.expected_terminator), c.size))), c.result);
    EXPECT_EQ(port->bytes_to_read().value(), c.left);
  }
}

TEST(ReadUntil, TotalTimingEndsEarlierThanReadlinePerByteTiming) {
  // A line that trickles in one byte per 100 ms takes 700 ms; the timeout is
  // 500 ms. readline times each byte, read_until the whole call.
  auto trickle = [](PortRef port) {
    return std::async(std::launch::async, [port] {
      for (char ch : std::string("abcdef\n")) {
        std::this_thread::sleep_for(100ms);
        put(port, std::string(1, ch));
      }
    });
  };
  {
    PortRef port = open_loopback();
    set_timeouts(*port, secs(0.5));
    auto writer = trickle(port);
    EXPECT_EQ(read_text(run(make_readline(port, std::nullopt))), "abcdef\n");
    writer.get();
  }
  {
    PortRef port = open_loopback();
    set_timeouts(*port, secs(0.5));
    auto writer = trickle(port);
    std::string got = read_text(run(make_read_until(port, bytes("\n"), std::nullopt)));
    writer.get();
    EXPECT_LT(got.size(), 7u) << got;
    EXPECT_FALSE(got.ends_with('\n'));
  }
}

TEST(Readlines, SplitsLinesAndHonoursTheHint) {
  struct Case {
    const char* buffered;
    std::optional<std::size_t> hint;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"a\nb\nc", std::nullopt, {"a\n", "b\n", "c"}},
      {"a\nbb\nc\n", 3, {"a\n", "bb\n"}},
      {"", std::nullopt, {}},
  };
  for (const Case& c : cases) {
    PortRef port = open_loopback();
    set_timeouts(*port, secs(0.05));
    if (*c.buffered) put(port, c.buffered);
    OperationOutcome out = run(make_readlines(port, c.hint));
    ASSERT_TRUE(out);
    std::vector<std::string> got;
    for (const ByteString& line : std::get<std::vector<ByteString>>(*out)) got.push_back(text(line));
    EXPECT_EQ(got, c.lines) << c.buffered;
  }
}

TEST(ReadAvailable, ReturnsWhatIsThereUpToMax) {
  PortRef port = open_loopback();
  put(port, "abcdef");
  EXPECT_EQ(read_text(run(make_read_available(port, 4))), "abcd");
  EXPECT_EQ(read_text(run(make_read_available(port, 0))), "e");  // at least one byte
  EXPECT_EQ(read_text(run(make_read_available(port, 10))), "f");
  port->cancel_read();
  EXPECT_EQ(read_text(run(make_read_available(port, 10))), "");  // only a cancel ends it empty
}

// --- writing -----------------------------------------------------------------

TEST(Write, LoopbackQueueHolds4096Bytes) {
  PortRef port = open_loopback();
  set_timeouts(*port, {}, {}, TimeoutValue::integer(0));
  EXPECT_EQ(count_of(run(make_write(port, ByteString(5000, 'a'), true))), 4096u);
  ASSERT_TRUE(port->reset_output_buffer());
  EXPECT_EQ(port->bytes_to_read().value(), 0u);
  put(port, std::string(4000, 'b'));
  EXPECT_EQ(count_of(run(make_write(port, ByteString(100, 'c'), true))), 96u);
  EXPECT_EQ(port->bytes_to_write().value(), 4096u);
}

TEST(Write, ReaderWakesTheWaitingWriter) {
  PortRef port = open_loopback();
  auto writing = run_async(make_write(port, ByteString(10000, 'w'), true));
  EXPECT_EQ(read_text(run(make_read(port, 10000))), std::string(10000, 'w'));
  EXPECT_EQ(count_of(writing.get()), 10000u);
}

TEST(Write, TimeoutIsAnErrorAndTheBytesStayQueued) {
  PortRef port = open_loopback();
  set_timeouts(*port, {}, {}, secs(0.05));
  OperationOutcome out = run(make_write(port, ByteString(5000, 'x'), true));
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().kind(), ErrorKind::Timeout);
  EXPECT_EQ(out.error().text(), "Write timeout");
  EXPECT_NE(out.error().note().find("4096"), std::string::npos);  // why the loopback cannot take it
  EXPECT_EQ(port->bytes_to_read().value(), 4096u);
  // Without use_write_timeout the same write just waits for room.
  auto writing = run_async(make_write(port, ByteString(5000, 'x'), false));
  EXPECT_EQ(read_text(run(make_read(port, 9096))).size(), 9096u);
  EXPECT_EQ(count_of(writing.get()), 5000u);
}

TEST(Write, ZeroTimeoutDetachesAPendingWrite) {
  auto script = std::make_shared<Script>();
  script->write_pending = true;
  script->detached_bytes = 7;
  PortRef port = open_scripted(script);
  set_timeouts(*port, {}, {}, TimeoutValue::integer(0));
  EXPECT_EQ(count_of(run(make_write(port, ByteString(20, 'z'), true))), 7u);
  EXPECT_EQ(script->detaches, 1);
}

TEST(Write, EveryWayOfEndingCallsAbortWrite) {
  struct Case {
    const char* name;
    bool pending;
    TimeoutValue write_timeout;
    std::function<void(PortHandle&)> interfere;  // from another thread, while waiting
    std::optional<ErrorKind> error;
  };
  const Case cases[] = {
      {"completed", false, {}, nullptr, std::nullopt},
      {"timed out", true, secs(0.02), nullptr, ErrorKind::Timeout},
      {"cancelled", true, {}, [](PortHandle& p) { p.cancel_write(); }, std::nullopt},
      {"closed", true, {}, [](PortHandle& p) { p.close(); }, ErrorKind::NotOpen},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto script = std::make_shared<Script>();
    script->write_pending = c.pending;
    PortRef port = open_scripted(script);
    set_timeouts(*port, {}, {}, c.write_timeout);
    auto writing = run_async(make_write(port, ByteString(3, 'q'), true));
    if (c.interfere) {
      std::this_thread::sleep_for(20ms);
      c.interfere(*port);
    }
    OperationOutcome out = writing.get();
    if (c.error)
      EXPECT_EQ(out.error().kind(), *c.error);
    else
      EXPECT_TRUE(out);
    std::lock_guard lock(script->mutex);
    EXPECT_EQ(script->abort_writes, c.name == std::string("closed") ? 0 : 1);  // a closed port has no backend
  }
}

TEST(Flush, WaitsForTheOutputQueueOnlyWhenTheBackendDrains) {
  auto script = std::make_shared<Script>();
  script->drains = true;
  script->queued_output = 3;
  PortRef port = open_scripted(script);
  EXPECT_TRUE(run(make_flush(port)));
  EXPECT_EQ(script->output_queries, 4);

  PortRef loop = open_loopback();
  put(loop, "pending");
  EXPECT_TRUE(run(make_flush(loop)));  // the loopback never waits
}

// --- cancelling and closing --------------------------------------------------

TEST(Cancel, ReadPermitIsStoredOnceAndSurvivesCloseAndOpen) {
  PortRef port = open_loopback();
  port->cancel_read();
  port->cancel_read();
  port->close();
  ASSERT_TRUE(port->open());
  set_timeouts(*port, TimeoutValue::integer(0));
  EXPECT_EQ(read_text(run(make_read(port, 1))), "");  // a zero timeout never looks at it
  set_timeouts(*port, {});
  EXPECT_EQ(read_text(run(make_read(port, 1))), "");  // consumed here
  // No second permit: this read waits for the data.
  auto reading = run_async(make_read(port, 2));
  std::this_thread::sleep_for(20ms);
  put(port, "ok");
  EXPECT_EQ(read_text(reading.get()), "ok");
}

TEST(Cancel, WritePermitIsStoredOnce) {
  PortRef port = open_loopback();
  put(port, std::string(4096, 'f'));  // full: every write has to wait
  port->cancel_write();
  port->cancel_write();
  EXPECT_EQ(count_of(run(make_write(port, bytes("a"), true))), 0u);
  OperationPtr second = make_write(port, bytes("a"), true);
  EXPECT_FALSE(run_for(*second, 30ms).has_value());  // no second permit: it waits
}

// A stored permit is for the next operation that has to wait: one whose data
// or room is there at once goes through and leaves it stored, in the
// operations and the flattened calls alike. Repeated, since a wrong order of
// the race would only show now and then.
TEST(Cancel, StoredPermitLeavesCallsThatNeedNotWaitAlone) {
  PortRef port = open_loopback();
  std::uint8_t buf[3];
  for (int i = 0; i < 300; ++i) {
    put(port, "abc");
    port->cancel_read();
    ASSERT_EQ(read_text(run(make_read(port, 3))), "abc");
    put(port, "abc\n");
    ASSERT_EQ(read_text(run(make_readline(port, std::nullopt))), "abc\n");
    put(port, "abc");
    ASSERT_EQ(std::get<Result<std::size_t>>(read_direct(port, buf, 3, kHang)).value(), 3u);
    port->cancel_write();
    ASSERT_EQ(count_of(run(make_write(port, bytes("xyz"), true))), 3u);
    ASSERT_EQ(std::get<Result<std::uint64_t>>(write_direct(port, bytes("xyz"))).value(), 3u);
    ASSERT_TRUE(port->reset_input_buffer());
  }
  // Still stored: the next read and write that wait end at once.
  EXPECT_EQ(read_text(run(make_read(port, 1))), "");
  put(port, std::string(4096, 'f'));
  EXPECT_EQ(count_of(run(make_write(port, bytes("a"), true))), 0u);
}

// A cancel that comes while a read runs ends it even when the line is never
// idle, so that the read never has to wait.
TEST(Cancel, EndsAReadlineOnALineThatIsNeverIdle) {
  auto script = std::make_shared<Script>();
  script->read = Script::Read::Endless;
  PortRef port = open_scripted(script);
  auto reading = run_async(make_readline(port, std::nullopt));
  std::this_thread::sleep_for(20ms);
  port->cancel_read();
  const bool ended = reading.wait_for(kHang) == std::future_status::ready;
  port->close();  // also ends a readline that ignored the cancel
  ASSERT_TRUE(ended);
  OperationOutcome line = reading.get();
  ASSERT_TRUE(line);
  EXPECT_GT(std::get<ByteString>(*line).size(), 0u);
}

TEST(Cancel, WaitingReadAndWriteReturnWhatTheyHave) {
  PortRef port = open_loopback();
  put(port, "ab");
  auto reading = run_async(make_read(port, 10));
  std::this_thread::sleep_for(20ms);
  port->cancel_read();
  EXPECT_EQ(read_text(reading.get()), "ab");

  auto writing = run_async(make_write(port, ByteString(5000, 'w'), true));
  std::this_thread::sleep_for(20ms);
  port->cancel_write();
  EXPECT_EQ(count_of(writing.get()), 4096u);
}

TEST(Close, EndsWaitingOperationsWithNotOpen) {
  PortRef port = open_loopback();
  auto reading = run_async(make_read(port, 1));
  auto breaking = run_async(make_send_break(port, 10.0));
  std::this_thread::sleep_for(30ms);
  port->close();
  EXPECT_EQ(reading.get().error().kind(), ErrorKind::NotOpen);
  EXPECT_EQ(breaking.get().error().kind(), ErrorKind::NotOpen);
  EXPECT_FALSE(port->break_condition());
}

TEST(Close, OperationsQueuedAtAFatalCloseEndWithItsError) {
  // A close for a fatal error (a hang-up) ends the operations still queued
  // for their side with that error when their turn comes, or when their
  // timeout passes in the queue; one begun after the close finds it not open.
  PortRef port = open_loopback();
  Probe holder, waiter;
  OperationPtr line = make_readline(port, std::nullopt);  // holds the read side, never polled again
  ASSERT_TRUE(line->poll(holder.cx()).pending());
  set_timeouts(*port, secs(0.05), {}, {});
  OperationPtr timed = make_read(port, 1);  // gives up its place after 50 ms
  ASSERT_TRUE(timed->poll(waiter.cx()).pending());
  set_timeouts(*port, {});
  OperationPtr untimed = make_read(port, 1);  // waits for its turn
  ASSERT_TRUE(untimed->poll(waiter.cx()).pending());
  const PortError hang_up = from_os_error(EIO);
  port->close(hang_up);
  OperationOutcome out = run(std::move(timed));
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error(), hang_up);
  line.reset();
  out = run(std::move(untimed));
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error(), hang_up);
  out = run(make_read(port, 1));
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().kind(), ErrorKind::NotOpen);
}

TEST(Close, FatalDeviceErrorClosesThePortBeforeReturning) {
  struct Case {
    const char* name;
    Script::Read read;
    PortError error;
    bool closes;
  };
  const Case cases[] = {
      {"EIO", Script::Read::Error, from_os_error(EIO), true},
      {"EAGAIN", Script::Read::Error, from_os_error(EAGAIN), false},
      {"ready without data", Script::Read::Empty, PortError::failure(std::string(kNoDataMessage)), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto script = std::make_shared<Script>();
    script->read = c.read;
    script->read_error = c.error;
    PortRef port = open_scripted(script);
    OperationOutcome out = run(make_read(port, 4));
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error(), c.error);
    EXPECT_EQ(port->is_open(), !c.closes);
  }
}

// --- the flattened blocking read and write --------------------------------------

TEST(DirectRead, EndsAsTheReadOperationDoes) {
  struct Case {
    const char* name;
    std::function<void(const PortRef&)> interfere;  // from another thread, while it waits
    std::optional<ErrorKind> error;
    std::string read;
    bool open_after;
  };
  const Case cases[] = {
      {"data", [](const PortRef& p) { put(p, "cd"); }, std::nullopt, "abcd", true},
      {"cancelled", [](const PortRef& p) { p->cancel_read(); }, std::nullopt, "ab", true},
      {"closed", [](const PortRef& p) { p->close(); }, ErrorKind::NotOpen, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PortRef port = open_loopback();
    put(port, "ab");
    std::uint8_t buf[4];
    auto reading = std::async(std::launch::async, [&] { return read_direct(port, buf, sizeof buf, kHang); });
    std::this_thread::sleep_for(20ms);
    c.interfere(port);
    auto done = reading.get();
    ASSERT_TRUE(std::holds_alternative<Result<std::size_t>>(done));
    auto& got = std::get<Result<std::size_t>>(done);
    if (c.error) {
      ASSERT_FALSE(got);
      EXPECT_EQ(got.error().kind(), *c.error);
    } else {
      ASSERT_TRUE(got);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(buf), *got), c.read);
    }
    EXPECT_EQ(port->is_open(), c.open_after);
  }
}

TEST(DirectRead, FatalErrorClosesThePort) {
  auto script = std::make_shared<Script>();
  script->read = Script::Read::Error;
  script->read_error = from_os_error(EIO);
  PortRef port = open_scripted(script);
  std::uint8_t buf[4];
  auto done = read_direct(port, buf, sizeof buf, kHang);
  auto& got = std::get<Result<std::size_t>>(done);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), from_os_error(EIO));
  EXPECT_FALSE(port->is_open());
}

TEST(DirectRead, HandsOnTheRestWithTheSideLockAndTheBytesSoFar) {
  PortRef port = open_loopback();
  put(port, "ab");
  std::uint8_t buf[4];
  auto done = read_direct(port, buf, sizeof buf, 20ms);
  ASSERT_TRUE(std::holds_alternative<OperationPtr>(done));
  OperationPtr rest = std::move(std::get<OperationPtr>(done));
  EXPECT_TRUE(std::holds_alternative<Busy>(read_direct(port, buf, 1, 0ms)));  // the rest holds the side lock
  put(port, "cde");
  EXPECT_EQ(read_text(run(std::move(rest))), "abcd");
  auto next = read_direct(port, buf, 1, kHang);
  ASSERT_EQ(std::get<Result<std::size_t>>(next).value(), 1u);
  EXPECT_EQ(buf[0], 'e');
}

TEST(DirectRead, GrowingFormReadsInChunksAndHandsOnWhatItHas) {
  PortRef port = open_loopback();
  put(port, std::string(4096, 'a'));
  ByteString got;
  auto done = read_direct(port, got, 5000, 20ms);
  ASSERT_TRUE(std::holds_alternative<OperationPtr>(done));
  put(port, std::string(904, 'b'));
  EXPECT_EQ(read_text(run(std::move(std::get<OperationPtr>(done)))), std::string(4096, 'a') + std::string(904, 'b'));
  put(port, "xyz");
  set_timeouts(*port, secs(0));
  ByteString more;
  auto rest = read_direct(port, more, 5000, kHang);
  ASSERT_EQ(std::get<Result<std::size_t>>(rest).value(), 3u);
  EXPECT_EQ(text(more), "xyz");
}

TEST(DirectWrite, HandsOnWhatTheDeviceCannotTakeAtOnce) {
  PortRef port = open_loopback();
  const ByteString data(5000, 'w');
  auto done = write_direct(port, data);
  ASSERT_TRUE(std::holds_alternative<OperationPtr>(done));  // the loopback queue holds 4096 bytes
  auto writing = run_async(std::move(std::get<OperationPtr>(done)));
  EXPECT_EQ(read_text(run(make_read(port, 5000))), std::string(5000, 'w'));
  EXPECT_EQ(count_of(writing.get()), 5000u);
  auto small = write_direct(port, bytes("xy"));
  EXPECT_EQ(std::get<Result<std::uint64_t>>(small).value(), 2u);
}

// --- side locks --------------------------------------------------------------

TEST(SideLock, AbandonedOperationReleasesItAndTheNextOneProceeds) {
  PortRef port = open_loopback();
  OperationPtr waiting = make_read(port, 1);
  EXPECT_FALSE(run_for(*waiting, 10ms).has_value());
  waiting.reset();
  put(port, "x");
  EXPECT_EQ(read_text(run(make_read(port, 1))), "x");

  auto script = std::make_shared<Script>();
  script->write_pending = true;
  PortRef scripted = open_scripted(script);
  OperationPtr blocked = make_write(scripted, bytes("abc"), true);
  EXPECT_FALSE(run_for(*blocked, 10ms).has_value());
  bool lock_held_during_abort = false;
  script->on_abort_write = [&] { lock_held_during_abort = !scripted->write_lock.try_lock(); };
  blocked.reset();
  script->on_abort_write = nullptr;
  EXPECT_EQ(script->abort_writes, 1);
  EXPECT_TRUE(lock_held_during_abort);  // clean-up first, then the next write may start
  script->write_pending = false;
  EXPECT_EQ(count_of(run(make_write(scripted, bytes("abc"), true))), 3u);
}

// A timeout bounds the wait for a busy side too: the operation then ends as
// its timeout would, without having begun. Without a timeout it queues.
TEST(SideLock, TimedOperationsGiveUpWaitingForABusySide) {
  PortRef port = open_loopback();
  Probe reader, writer;
  OperationPtr line = make_readline(port, std::nullopt);  // no timeouts yet: holds the read side
  ASSERT_TRUE(line->poll(reader.cx()).pending());
  put(port, std::string(4096, 'f'));
  OperationPtr big = make_write(port, ByteString(10, 'w'), true);  // waits for room, holding the write side
  ASSERT_TRUE(big->poll(writer.cx()).pending());

  struct Case {
    const char* name;
    std::function<OperationPtr()> make;
    double timeout;
    std::function<void(const OperationOutcome&)> check;
  };
  const auto nothing = [](const OperationOutcome& out) { EXPECT_EQ(read_text(out), ""); };
  const Case cases[] = {
      {"read", [&] { return make_read(port, 1); }, 0.05, nothing},
      {"read, zero timeout", [&] { return make_read(port, 1); }, 0, nothing},
      {"read_until", [&] { return make_read_until(port, bytes("x"), std::nullopt); }, 0.05, nothing},
      {"readline", [&] { return make_readline(port, std::nullopt); }, 0.05, nothing},
      {"readlines", [&] { return make_readlines(port, std::nullopt); }, 0.05,
       [](const OperationOutcome& out) { EXPECT_TRUE(std::get<std::vector<ByteString>>(out.value()).empty()); }},
      {"write", [&] { return make_write(port, bytes("x"), true); }, 0.05,
       [](const OperationOutcome& out) {
         ASSERT_FALSE(out);
         EXPECT_EQ(out.error().kind(), ErrorKind::Timeout);
         EXPECT_EQ(out.error().text(), "Write timeout");
       }},
      {"write, zero timeout", [&] { return make_write(port, bytes("x"), true); }, 0,
       [](const OperationOutcome& out) { EXPECT_EQ(count_of(out), 0u); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set_timeouts(*port, secs(c.timeout), {}, secs(c.timeout));
    const Instant start = Clock::now();
    c.check(run(c.make()));
    EXPECT_LT(Clock::now() - start, 1s);
  }
  set_timeouts(*port, {});
  EXPECT_EQ(read_text(run(make_read(port, 0))), "");  // read(0) never queues
  OperationPtr queued = make_read(port, 1);
  EXPECT_FALSE(run_for(*queued, 30ms).has_value());  // without a timeout it waits its turn
  queued.reset();
  OperationPtr flush = make_flush(port);
  EXPECT_FALSE(run_for(*flush, 30ms).has_value());
  flush.reset();
  port->close();
}

TEST(SideLock, OperationsOfOneSideRunInArrivalOrder) {
  PortRef port = open_loopback();
  Probe pa, pb, pc;
  OperationPtr a = make_read(port, 1), b = make_read(port, 1), c = make_read(port, 1);
  ASSERT_TRUE(a->poll(pa.cx()).pending());  // holds read_lock, waits for data
  ASSERT_TRUE(c->poll(pc.cx()).pending());  // queued before b
  ASSERT_TRUE(b->poll(pb.cx()).pending());
  OperationOutcome w = run(make_write(port, bytes("123"), false));  // the write side is free
  ASSERT_TRUE(w);
  auto ra = a->poll(pa.cx());
  ASSERT_TRUE(ra.ready());
  EXPECT_EQ(read_text(ra.value()), "1");
  EXPECT_TRUE(b->poll(pb.cx()).pending());
  auto rc = c->poll(pc.cx());
  ASSERT_TRUE(rc.ready());
  EXPECT_EQ(read_text(rc.value()), "2");
  auto rb = b->poll(pb.cx());
  ASSERT_TRUE(rb.ready());
  EXPECT_EQ(read_text(rb.value()), "3");
}

// --- break -------------------------------------------------------------------

TEST(SendBreak, ValidatesTheDurationAndSetsThenClearsTheBreak) {
  for (double bad : {-1.0, std::nan("")}) {
    OperationOutcome out = run(make_send_break(open_loopback(), bad));
    EXPECT_EQ(out.error(), PortError::invalid_value("duration must be a non-negative number"));
  }
  auto script = std::make_shared<Script>();
  PortRef port = open_scripted(script);
  for (double length : {0.0, 0.05}) {
    script->breaks.clear();
    ASSERT_TRUE(run(make_send_break(port, length)));
    ASSERT_EQ(script->breaks.size(), 2u);
    EXPECT_TRUE(script->breaks[0].first);
    EXPECT_FALSE(script->breaks[1].first);
    auto held = std::chrono::duration<double, std::milli>(script->breaks[1].second - script->breaks[0].second);
    RecordProperty("break_" + std::to_string(static_cast<int>(length * 1000)) + "ms_held_us",
                   static_cast<int>(held.count() * 1000));
    std::printf("send_break(%.3f) held the break for %.3f ms\n", length, held.count());
  }
  EXPECT_FALSE(port->break_condition());
}

// --- many threads ------------------------------------------------------------

TEST(Stress, ReadsWritesCancelsAndClosesFromSeveralThreads) {
  PortRef port = open_loopback();
  set_timeouts(*port, secs(0.005), {}, secs(0.01));
  std::atomic<bool> stop{false};
  std::atomic<long> ops{0};
  auto acceptable = [](const OperationOutcome& out) {
    return out || out.error().kind() == ErrorKind::NotOpen || out.error().kind() == ErrorKind::Timeout;
  };
  auto loop = [&](std::function<OperationPtr()> make) {
    return std::async(std::launch::async, [&, make] {
      while (!stop) {
        OperationOutcome out = run(make());
        EXPECT_TRUE(acceptable(out)) << out.error().text();
        ++ops;
      }
    });
  };
  std::vector<std::future<void>> workers;
  workers.push_back(loop([&] { return make_read(port, 64); }));
  workers.push_back(loop([&] { return make_read_available(port, 64); }));
  workers.push_back(loop([&] { return make_readline(port, 16); }));
  workers.push_back(loop([&] { return make_write(port, ByteString(300, '\n'), true); }));
  workers.push_back(loop([&] { return make_write(port, ByteString(50, 'y'), false); }));
  workers.push_back(std::async(std::launch::async, [&] {
    while (!stop) {
      port->cancel_read();
      port->cancel_write();
      std::this_thread::sleep_for(1ms);
    }
  }));
  workers.push_back(std::async(std::launch::async, [&] {
    while (!stop) {
      std::this_thread::sleep_for(15ms);
      port->close();
      std::this_thread::sleep_for(2ms);
      (void)port->open();
    }
  }));
  // Abandoned operations, as a signal or a cancelled future leaves them.
  workers.push_back(std::async(std::launch::async, [&] {
    while (!stop) {
      OperationPtr op = make_read(port, 4096);
      (void)run_for(*op, 1ms);
      OperationPtr w = make_write(port, ByteString(5000, 'z'), false);
      (void)run_for(*w, 1ms);
    }
  }));
  std::this_thread::sleep_for(2s);
  stop = true;
  for (auto& w : workers) EXPECT_EQ(w.wait_for(kHang), std::future_status::ready);
  RecordProperty("operations", static_cast<int>(ops.load()));
  // Nothing is left locked.
  ASSERT_TRUE(port->is_open() || port->open());
  set_timeouts(*port, TimeoutValue::integer(0));
  EXPECT_TRUE(run(make_read(port, 10000)));
  EXPECT_TRUE(run(make_write(port, bytes("end"), false)));
  EXPECT_TRUE(port->read_lock.try_lock());
  EXPECT_TRUE(port->write_lock.try_lock());
}

}  // namespace
}  // namespace corvalink::test

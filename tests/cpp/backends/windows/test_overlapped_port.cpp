// The port engine's operations over the overlapped backend and the simulated
// COM device, driven by the runtime's worker threads: timeouts, cancel and
// close, the write timeout's abort and detach, flush, fatal errors, and a
// stress run of everything at once.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "backends/windows/overlapped.hpp"
#include "../../engine/engine_support.hpp"
#include "win32_sim.hpp"

namespace corvalink::test {
namespace {

using win32::Dword;

TimeoutValue secs(double s) { return TimeoutValue::floating(s); }

// Drives an operation as a task on the runtime's workers.
class OperationJob final : public Runtime::Job {
 public:
  OperationJob(OperationPtr op, std::promise<OperationOutcome> done) : op_(std::move(op)), done_(std::move(done)) {}
  Poll<std::monostate> poll(Context& cx) override {
    auto r = op_->poll(cx);
    if (r.pending()) return Pending;
    done_.set_value(std::move(r).take());
    return std::monostate{};
  }

 private:
  OperationPtr op_;
  std::promise<OperationOutcome> done_;
};

std::future<OperationOutcome> spawn(OperationPtr op) {
  std::promise<OperationOutcome> done;
  auto future = done.get_future();
  auto rt = runtime();
  EXPECT_TRUE(rt);
  (*rt)->spawn(std::make_unique<OperationJob>(std::move(op), std::move(done)));
  return future;
}

OperationOutcome finish(std::future<OperationOutcome>& f) {
  if (f.wait_for(kHang) != std::future_status::ready) {
    ADD_FAILURE() << "operation did not finish within " << kHang.count() << " s";
    return fail(PortError::failure("hang"));
  }
  return f.get();
}

class OverlappedPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.add_device();
    port = PortHandle::create(open_backend);
    ASSERT_TRUE(port->change_port("COM3"));
    auto backend = open_overlapped_backend(sim, "COM3", port->settings(), true, true);
    ASSERT_TRUE(backend);
    ASSERT_TRUE(port->open_with(std::move(*backend)));
  }

  void TearDown() override {
    port->close();
    port.reset();
    EXPECT_EQ(sim.open_handles(), 0);
    EXPECT_EQ(sim.live_events(), 0);
    EXPECT_EQ(sim.live_waits(), 0);
    EXPECT_EQ(sim.pending_operations(), 0);
    EXPECT_TRUE(sim.violations().empty());
  }

  std::string sent_eventually(std::size_t size) {
    std::string sent;
    EXPECT_TRUE(SimComm::eventually([&] { return (sent += sim.take_sent()).size() >= size; }));
    return sent;
  }

  SimComm sim;
  PortRef port;
};

TEST_F(OverlappedPortTest, ReadsWaitForTheDeviceWithinTheirTimeouts) {
  set_timeouts(*port, secs(2));
  auto reading = spawn(make_read(port, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  sim.feed("hel");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  sim.feed("lo!");
  EXPECT_EQ(read_text(finish(reading)), "hello");

  // Nothing comes: the read ends empty at its timeout and leaves the wait
  // outstanding for the next one.
  set_timeouts(*port, secs(0.1));
  auto quiet = spawn(make_read(port, 10));
  EXPECT_EQ(read_text(finish(quiet)), "!");  // the byte left queued
  const int waits = sim.calls(Call::WaitCommEvent);
  const Instant start = Clock::now();
  quiet = spawn(make_read(port, 10));
  EXPECT_EQ(read_text(finish(quiet)), "");
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(sim.calls(Call::WaitCommEvent), waits);  // the outstanding wait served it
  EXPECT_EQ(sim.pending_operations(), 1);

  set_timeouts(*port, secs(2), secs(0.05));
  auto late = spawn(make_read(port, 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  sim.feed("late");
  EXPECT_EQ(read_text(finish(late)), "late");  // ended by the inter-byte timeout
}

TEST_F(OverlappedPortTest, CancelAndCloseEndAWaitingRead) {
  auto reading = spawn(make_read(port, 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  port->cancel_read();
  EXPECT_EQ(read_text(finish(reading)), "");

  reading = spawn(make_read(port, 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  port->close();  // destroys the backend with the wait outstanding
  EXPECT_EQ(finish(reading).error().kind(), ErrorKind::NotOpen);
  EXPECT_EQ(sim.open_handles(), 0);
}

TEST_F(OverlappedPortTest, AWriteTimeoutCancelsTheWriteAndAZeroTimeoutDetachesIt) {
  sim.set_line_rate(0);
  set_timeouts(*port, {}, {}, secs(0.1));
  auto timed = spawn(make_write(port, ByteString(6000, 'a'), true));
  EXPECT_EQ(finish(timed).error().kind(), ErrorKind::Timeout);
  EXPECT_EQ(sim.pending_operations(), 0);  // aborted, not left running
  ASSERT_TRUE(port->reset_output_buffer());

  set_timeouts(*port, {}, {}, TimeoutValue::integer(0));
  auto detached = spawn(make_write(port, ByteString(5000, 'b'), true));
  EXPECT_EQ(count_of(finish(detached)), 5000u);
  EXPECT_EQ(sim.pending_operations(), 1);  // still going

  sim.set_line_rate(1000);
  auto flushing = spawn(make_flush(port));
  EXPECT_TRUE(finish(flushing));
  EXPECT_EQ(port->bytes_to_write().value(), 0u);
  EXPECT_EQ(sent_eventually(5000), std::string(5000, 'b'));
}

TEST_F(OverlappedPortTest, FlushWaitsUntilTheLineHasTakenEverything) {
  sim.set_line_rate(20);
  set_timeouts(*port, {}, {}, {});
  auto writing = spawn(make_write(port, ByteString(3000, 'c'), true));
  EXPECT_EQ(count_of(finish(writing)), 3000u);
  auto flushing = spawn(make_flush(port));
  EXPECT_TRUE(finish(flushing));
  EXPECT_EQ(port->bytes_to_write().value(), 0u);
  EXPECT_EQ(sim.take_sent().size(), 3000u);
}

TEST_F(OverlappedPortTest, LinesBreaksAndLineReadsReachTheDevice) {
  ASSERT_TRUE(port->set_rts(false));
  ASSERT_TRUE(port->set_dtr(true));
  EXPECT_EQ(sim.device().escapes, (std::vector<Dword>{4, 5}));
  sim.set_modem_status(win32::kMsCtsOn | win32::kMsRlsdOn);
  EXPECT_TRUE(port->read_cts().value());
  EXPECT_FALSE(port->read_dsr().value());
  EXPECT_FALSE(port->read_ri().value());
  EXPECT_TRUE(port->read_cd().value());

  auto breaking = spawn(make_send_break(port, 0.02));
  EXPECT_TRUE(finish(breaking));
  EXPECT_EQ(sim.calls(Call::SetCommBreak), 1);
  EXPECT_EQ(sim.calls(Call::ClearCommBreak), 1);
  EXPECT_FALSE(sim.device().brk);

  set_timeouts(*port, secs(1));
  sim.feed("ab\ncd");
  auto line = spawn(make_readline(port, std::nullopt));
  EXPECT_EQ(read_text(finish(line)), "ab\n");
  EXPECT_EQ(port->bytes_to_read().value(), 2u);  // nothing past the terminator was taken
  ASSERT_TRUE(port->update_settings([](PortSettings& s) { s.baudrate = 57600; }));
  EXPECT_EQ(sim.device().dcb.baud_rate, 57600u);
}

TEST_F(OverlappedPortTest, AVanishedDeviceClosesThePort) {
  sim.fail(Call::ClearCommError, 1617);
  auto reading = spawn(make_read(port, 4));
  OperationOutcome out = finish(reading);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().code(), 1617);
  EXPECT_FALSE(port->is_open());
  EXPECT_EQ(sim.open_handles(), 0);

  // A device error that is not fatal leaves it open.
  ASSERT_TRUE(port->open_with(open_overlapped_backend(sim, "COM3", port->settings(), true, true).value()));
  sim.fail(Call::ClearCommError, 87);
  reading = spawn(make_read(port, 4));
  EXPECT_EQ(finish(reading).error().code(), 87);
  EXPECT_TRUE(port->is_open());
}

// Readers, writers, the remote end and cancellations at once: every byte
// arrives once and in order in both directions.
TEST_F(OverlappedPortTest, StressEveryByteOnceAndInOrder) {
  constexpr int kChunks = 400;
  std::string fed, written;
  for (int i = 0; i < kChunks * 10; ++i) fed.push_back(static_cast<char>('a' + i % 26));
  for (int i = 0; i < kChunks * 20; ++i) written.push_back(static_cast<char>('A' + i % 26));
  set_timeouts(*port, secs(0.02), {}, {});

  std::thread remote([&] {
    for (int i = 0; i < kChunks; ++i) {
      sim.feed(std::string_view(fed).substr(static_cast<std::size_t>(i) * 10, 10));
      if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::atomic<bool> reading_done{false};
  std::thread canceller([&] {
    while (!reading_done) {
      port->cancel_read();
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  std::thread writer([&] {
    for (int i = 0; i < kChunks; ++i) {
      auto w = spawn(make_write(port, bytes(std::string_view(written).substr(static_cast<std::size_t>(i) * 20, 20)), true));
      EXPECT_EQ(count_of(finish(w)), 20u);
    }
  });
  std::string got;
  while (got.size() < fed.size()) {
    // Alternate the caller's thread and the workers.
    OperationOutcome out = (got.size() % 2) ? run(make_read(port, 64)) : [&] {
      auto f = spawn(make_read(port, 64));
      return finish(f);
    }();
    if (!out) {
      ADD_FAILURE() << out.error().text();
      break;
    }
    got += read_text(out);
  }
  reading_done = true;
  remote.join();
  canceller.join();
  writer.join();
  EXPECT_EQ(got, fed);
  EXPECT_EQ(sent_eventually(written.size()), written);
}

}  // namespace
}  // namespace corvalink::test

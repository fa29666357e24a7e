// The port engine with the real overlapped backend and Win32 layer, against
// a COM port that Wine maps to a pseudo-terminal. The Linux process on the
// master side (com_peer.py) answers PING, SEND and BULK requests, so every
// exchange checks both directions. The port's name comes from
// CORVALINK_TEST_COM (tools/wine-test sets it).
#include <gtest/gtest.h>

#include <cstdlib>
#include <format>
#include <future>
#include <string>
#include <thread>

#include "../cpp/engine/engine_support.hpp"

namespace corvalink::test {
namespace {

TimeoutValue secs(double s) { return TimeoutValue::floating(s); }

std::string com_port() {
  const char* ports = std::getenv("CORVALINK_TEST_COM");
  std::string name = ports && *ports ? ports : "COM5";
  return name.substr(0, name.find(' '));
}

class ComPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = PortHandle::create(open_backend);
    ASSERT_TRUE(port->change_port(com_port()));
    ASSERT_TRUE(port->update_settings([](PortSettings& s) { s.baudrate = 115200; }));
    Status opened = port->open();
    ASSERT_TRUE(opened) << opened.error().text();
  }
  void TearDown() override { port->close(); }

  void send(std::string_view s) { EXPECT_EQ(count_of(run(make_write(port, bytes(s), true))), s.size()); }
  std::string line(double timeout = 5) {
    set_timeouts(*port, secs(timeout));
    return read_text(run(make_read_until(port, bytes("\n"), std::nullopt)));
  }
  void expect_ping(std::string_view word) {
    send(std::format("PING {}\n", word));
    EXPECT_EQ(line(), std::format("PONG {}\n", word));
  }

  PortRef port;
};

TEST_F(ComPortTest, WritesArriveAndAnswersAreRead) {
  expect_ping("hello");
  // Settings change on the open port.
  ASSERT_TRUE(port->update_settings([](PortSettings& s) {
    s.baudrate = 9600;
    s.parity = Parity::Even;
  }));
  ASSERT_TRUE(port->update_settings([](PortSettings& s) { s.parity = Parity::None; }));
  expect_ping("again");
}

TEST_F(ComPortTest, LargeTransfersBothWays) {
  constexpr std::size_t kSize = 20000;
  std::string data(kSize, '\0');
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kSize; ++i) {
    data[i] = static_cast<char>((i * 7) % 256);
    sum += static_cast<std::uint8_t>(data[i]);
  }
  set_timeouts(*port, secs(5), {}, secs(10));
  send(std::format("BULK {}\n", kSize) + data);
  EXPECT_EQ(line(), std::format("SUM {} {}\n", kSize, sum));

  send("SEND 10000\n");
  set_timeouts(*port, secs(5));
  std::string got = read_text(run(make_read(port, 10000)));
  ASSERT_EQ(got.size(), 10000u);
  for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(static_cast<std::uint8_t>(got[i]), i % 251) << i;
  auto flushed = run(make_flush(port));
  EXPECT_TRUE(flushed);
}

TEST_F(ComPortTest, AReadWithNothingToReadEndsAtItsTimeout) {
  set_timeouts(*port, secs(0.3));
  const Instant start = Clock::now();
  EXPECT_EQ(read_text(run(make_read(port, 10))), "");
  const auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(290));
  EXPECT_LT(took, std::chrono::seconds(3));
  expect_ping("after-timeout");  // the wait left outstanding serves the next read
}

TEST_F(ComPortTest, PurgeDropsWhatIsQueued) {
  send("SEND 50\n");
  std::uint64_t queued = 0;
  for (int i = 0; i < 200 && queued < 50; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    queued = port->bytes_to_read().value();
  }
  EXPECT_EQ(queued, 50u);
  ASSERT_TRUE(port->reset_input_buffer());
  EXPECT_EQ(port->bytes_to_read().value(), 0u);
  ASSERT_TRUE(port->reset_output_buffer());
  expect_ping("clean");
}

TEST_F(ComPortTest, CloseEndsAPendingWaitAndThePortReopens) {
  set_timeouts(*port, {});
  auto reading = std::async(std::launch::async, [op = make_read(port, 10)]() mutable { return run(*op); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  port->close();  // cancels the outstanding WaitCommEvent and waits for it
  ASSERT_EQ(reading.wait_for(kHang), std::future_status::ready);
  EXPECT_EQ(reading.get().error().kind(), ErrorKind::NotOpen);

  Status reopened = port->open();
  ASSERT_TRUE(reopened) << reopened.error().text();
  expect_ping("reopened");
}

TEST_F(ComPortTest, NamesThatOpenNoDeviceFailWithTheSystemText) {
  PortRef other = PortHandle::create(open_backend);
  ASSERT_TRUE(other->change_port("COM77"));
  Status s = other->open();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::Failure);
  EXPECT_TRUE(s.error().code().has_value());
  EXPECT_TRUE(s.error().text().starts_with("could not open port 'COM77': ")) << s.error().text();
  EXPECT_EQ(s.error().text().find("(os error"), std::string::npos);
  EXPECT_GT(s.error().text().size(), std::string_view("could not open port 'COM77': ").size());
}

}  // namespace
}  // namespace corvalink::test

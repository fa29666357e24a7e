// Network ports over Winsock overlapped I/O, run over the simulated layer:
// connecting and its clean-up, the receive and send slots, wake-ups from the
// wait callbacks, and the rfc2217:// backend on top, driven by the port
// engine. Every test ends with no socket, event, wait registration,
// operation or WSAStartup left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "backends/net/net.hpp"
#include "backends/windows/net_overlapped.hpp"
#include "../../engine/engine_support.hpp"
#include "../net/telnet_support.hpp"
#include "win32_socket_sim.hpp"

namespace corvalink::test {
namespace {

std::string joined(const std::vector<std::string>& v) {
  std::string out;
  for (const auto& s : v) out += s + "; ";
  return out;
}

class NetOverlappedTest : public ::testing::Test {
 protected:
  void TearDown() override {
    sock.reset();
    EXPECT_EQ(sim.open_sockets(), 0);
    EXPECT_EQ(sim.live_events(), 0);
    EXPECT_EQ(sim.live_waits(), 0);
    EXPECT_EQ(sim.pending_operations(), 0);
    EXPECT_EQ(sim.startups(), 0);
    EXPECT_TRUE(sim.violations().empty()) << joined(sim.violations());
  }

  Result<std::unique_ptr<OverlappedSocket>> connect(std::string host, Instant deadline = Clock::now() + kHang) {
    return OverlappedSocket::connect(sim, NetTarget{std::move(host), 7000}, deadline);
  }
  void open() {
    sim.set_peer("10.0.0.1", 7000, SimWinsock::Peer::Accept);
    auto s = connect("10.0.0.1");
    ASSERT_TRUE(s) << s.error().text();
    sock = std::move(*s);
  }

  // What poll_recv gives into `room` bytes (pending: nullopt).
  std::optional<std::string> recv(Probe& p, std::size_t room, bool arm = true) {
    std::string buf(room, '\0');
    auto r = sock->poll_recv(p.cx(), std::span(reinterpret_cast<std::uint8_t*>(buf.data()), room), arm);
    if (r.pending()) return std::nullopt;
    if (!r.value()) {
      ADD_FAILURE() << r.value().error().text();
      return std::nullopt;
    }
    buf.resize(*r.value());
    return buf;
  }
  Poll<Result<std::size_t>> send(Probe& p, std::string_view s) {
    return sock->poll_send(p.cx(), std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()), true);
  }

  SimWinsock sim;  // outlives the socket
  std::unique_ptr<OverlappedSocket> sock;
};

TEST_F(NetOverlappedTest, ConnectsToAddressesAndNames) {
  struct Case {
    const char* host;
    std::vector<std::string> resolves_to;
    const char* connected;
    int lookups;
  };
  const Case cases[] = {
      {"10.0.0.1", {}, "10.0.0.1:7000", 1},
      {"::1", {}, "::1:7000", 1},
      {"device.lan", {"10.0.0.1"}, "10.0.0.1:7000", 2},
      {"two.lan", {"10.0.0.2", "10.0.0.1"}, "10.0.0.1:7000", 2},  // the first refuses
  };
  sim.set_peer("10.0.0.1", 7000, SimWinsock::Peer::Accept);
  sim.set_peer("::1", 7000, SimWinsock::Peer::Accept);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    if (!c.resolves_to.empty()) sim.add_name(c.host, c.resolves_to);
    const int before = sim.calls(NetCall::GetAddrInfo);
    auto s = connect(c.host);
    ASSERT_TRUE(s) << s.error().text();
    EXPECT_EQ(sim.last_connect(), c.connected);
    EXPECT_EQ(sim.calls(NetCall::GetAddrInfo) - before, c.lookups);
    EXPECT_EQ(sim.startups(), 1);
  }
}

TEST_F(NetOverlappedTest, ConnectFailuresLeaveNothingBehind) {
  sim.set_peer("10.0.0.1", 7000, SimWinsock::Peer::Accept);
  sim.set_peer("10.0.0.9", 7000, SimWinsock::Peer::Silent);
  struct Case {
    const char* name;
    const char* host;
    std::optional<NetCall> fault;
    std::string message;
    std::optional<std::int32_t> code;
  };
  const Case cases[] = {
      {"unknown host", "nowhere.lan", {}, "could not resolve host 'nowhere.lan': No such host is known.", {}},
      {"refused", "10.0.0.2", {}, "No connection could be made because the target machine actively refused it.",
       10061},
      {"no answer", "10.0.0.9", {}, "timed out connecting", 10060},
      {"WSAStartup", "10.0.0.1", NetCall::Startup, "OS Error 10091 (FormatMessageW() returned error 317)", 10091},
      {"socket", "10.0.0.1", NetCall::Socket, "OS Error 10024 (FormatMessageW() returned error 317)", 10024},
      {"non-blocking mode", "10.0.0.1", NetCall::SetNonBlocking, "OS Error 10022 (FormatMessageW() returned error 317)",
       10022},
      {"connect", "10.0.0.1", NetCall::Connect, "OS Error 10022 (FormatMessageW() returned error 317)", 10022},
      {"select", "10.0.0.1", NetCall::Select, "OS Error 10022 (FormatMessageW() returned error 317)", 10022},
      {"event", "10.0.0.1", NetCall::CreateEvent, "OS Error 8 (FormatMessageW() returned error 317)", 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault) sim.fail(*c.fault, c.code.value_or(1), c.fault == NetCall::CreateEvent ? 1 : 0);
    const Instant deadline = Clock::now() + (c.fault ? kHang : std::chrono::milliseconds(50));
    auto s = connect(c.host, deadline);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().text(), c.message);
    EXPECT_EQ(s.error().code(), c.code);
    EXPECT_EQ(sim.open_sockets(), 0);
    EXPECT_EQ(sim.live_events(), 0);
    EXPECT_EQ(sim.startups(), 0);
  }
}

TEST_F(NetOverlappedTest, ReceiveWaitsIsWokenAndHandsOutWhatCameInPieces) {
  open();
  Probe p;
  EXPECT_EQ(recv(p, 4), std::nullopt);
  EXPECT_EQ(p.wakes(), 0);
  sim.feed("0123456789");
  ASSERT_TRUE(SimWinsock::eventually([&] { return p.wakes() == 1; }));
  EXPECT_EQ(recv(p, 4), "0123");
  EXPECT_EQ(recv(p, 4), "4567");
  EXPECT_EQ(recv(p, 4), "89");
  EXPECT_EQ(sim.calls(NetCall::Recv), 1);

  // An abandoned wait is taken over by the next reader without a second
  // receive; a look without arming arranges nothing.
  Probe first, second;
  EXPECT_EQ(recv(first, 16), std::nullopt);
  EXPECT_EQ(recv(second, 16, false), std::nullopt);
  EXPECT_EQ(recv(second, 16), std::nullopt);
  EXPECT_EQ(sim.calls(NetCall::Recv), 2);
  sim.feed("x");
  ASSERT_TRUE(SimWinsock::eventually([&] { return second.wakes() == 1; }));
  EXPECT_EQ(first.wakes(), 0);
  EXPECT_EQ(recv(second, 16), "x");
}

TEST_F(NetOverlappedTest, AWatchForTheOtherSideLeavesTheReadersWaitAlone) {
  // A writer that waits for input (the server's resume) and a reader both
  // hear of it; the reader's wait is still its own after the writer's
  // watch, and after the writer is gone.
  open();
  Probe reader, writer;
  EXPECT_EQ(recv(reader, 16), std::nullopt);
  ASSERT_TRUE(sock->watch_other(writer.cx(), true));
  sim.feed("a");
  ASSERT_TRUE(SimWinsock::eventually([&] { return reader.wakes() == 1 && writer.wakes() == 1; }));
  EXPECT_EQ(recv(reader, 16), "a");

  {
    Probe gone;
    EXPECT_EQ(recv(reader, 16), std::nullopt);
    ASSERT_TRUE(sock->watch_other(gone.cx(), true));
  }
  sim.feed("b");
  ASSERT_TRUE(SimWinsock::eventually([&] { return reader.wakes() == 2; }));
  EXPECT_EQ(recv(reader, 16), "b");
  EXPECT_EQ(sim.calls(NetCall::Recv), 2);  // the watch started no receive of its own
}

TEST_F(NetOverlappedTest, PeerClosingOrResetting) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "closed");
    open();
    Probe p;
    EXPECT_EQ(recv(p, 8), std::nullopt);
    sim.close_by_peer(reset);
    ASSERT_TRUE(SimWinsock::eventually([&] { return p.wakes() == 1; }));
    std::uint8_t b;
    auto r = sock->poll_recv(p.cx(), std::span(&b, 1), true);
    ASSERT_TRUE(r.ready());
    if (reset) {
      ASSERT_FALSE(r.value());
      EXPECT_EQ(r.value().error().code(), 10054);
    } else {
      EXPECT_EQ(r.value(), std::size_t{0});
      EXPECT_EQ(recv(p, 1), "");  // and again
    }
    sock.reset();
  }
}

TEST_F(NetOverlappedTest, SendsAreHandedOverAndTheNextWaitsForTheOneInFlight) {
  open();
  Probe p;
  EXPECT_EQ(send(p, "one").value(), std::size_t{3});
  EXPECT_EQ(sim.take_sent(), "one");
  EXPECT_TRUE(sock->poll_sent(p.cx()).ready());

  sim.stall_sends(true);
  EXPECT_EQ(send(p, "two").value(), std::size_t{3});  // Winsock has it
  EXPECT_TRUE(send(p, "three").pending());
  EXPECT_TRUE(sock->poll_sent(p.cx()).pending());
  sim.stall_sends(false);
  ASSERT_TRUE(SimWinsock::eventually([&] { return p.wakes() >= 1; }));
  EXPECT_EQ(send(p, "three").value(), std::size_t{5});
  EXPECT_TRUE(sock->poll_sent(p.cx()).ready());
  EXPECT_EQ(sim.take_sent(), "twothree");

  // A reset fails the send in flight.
  sim.stall_sends(true);
  EXPECT_EQ(send(p, "four").value(), std::size_t{4});
  sim.close_by_peer(true);
  auto sent = sock->poll_sent(p.cx());
  ASSERT_TRUE(sent.ready());
  ASSERT_FALSE(sent.value());
  EXPECT_EQ(sent.value().error().code(), 10054);
}

// The peer of an rfc2217:// port: it takes what the client sent and answers
// the negotiation and every COM-PORT-OPTION command with the value asked for.
class ComPortPeer {
 public:
  explicit ComPortPeer(SimWinsock& sim) : sim_(sim), thread_([this] { run(); }) {}
  ~ComPortPeer() {
    stop_ = true;
    thread_.join();
  }
  std::string data() {
    std::lock_guard lock(mutex_);
    return data_;
  }

 private:
  struct Reader final : telnet::Sink {
    std::vector<std::uint8_t> reply;
    void negotiation(std::uint8_t verb, std::uint8_t option) override {
      if (verb == telnet::kWill) telnet::negotiation(telnet::kDo, option, reply);
      if (verb == telnet::kDo) telnet::negotiation(telnet::kWill, option, reply);
    }
    void subnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload) override {
      if (option != telnet::kComPort || payload.empty() || payload[0] == 11) return;
      std::vector<std::uint8_t> answer(payload.begin(), payload.end());
      answer[0] = static_cast<std::uint8_t>(answer[0] + telnet::com::kServerOffset);
      telnet::subnegotiation(telnet::kComPort, answer, reply);
    }
  };
  void run() {
    telnet::Decoder decoder;
    Reader reader;
    while (!stop_) {
      std::string in = sim_.take_sent();
      if (in.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      std::vector<std::uint8_t> buf(in.begin(), in.end());
      const std::size_t n = decoder.decode(buf.data(), buf.size(), buf.data(), reader);
      {
        std::lock_guard lock(mutex_);
        data_.append(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
      }
      if (!reader.reply.empty()) {
        sim_.feed(std::string(reader.reply.begin(), reader.reply.end()));
        reader.reply.clear();
      }
    }
  }

  SimWinsock& sim_;
  std::mutex mutex_;
  std::string data_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(NetOverlappedTest, Rfc2217PortThroughTheEngine) {
  sim.set_peer("10.0.0.1", 7000, SimWinsock::Peer::Accept);
  auto s = connect("10.0.0.1");
  ASSERT_TRUE(s) << s.error().text();
  const std::string name = "rfc2217://10.0.0.1:7000";
  auto url = parse_net_url(name);
  ASSERT_TRUE(url);
  PortSettings settings;
  PortRef port = PortHandle::create(open_backend);
  {
    ComPortPeer peer(sim);
    auto backend = NetBackend::open(name, *url, NetSocketPtr(std::move(*s)), settings, true, true);
    ASSERT_TRUE(backend) << backend.error().text();
    ASSERT_TRUE(port->change_port(name));
    ASSERT_TRUE(port->open_with(std::move(*backend)));
    ASSERT_TRUE(port->update_settings([](PortSettings& p) { p.baudrate = 115200; }));
    ASSERT_TRUE(port->reset_input_buffer());

    put(port, "to the device \xff");
    ASSERT_TRUE(SimWinsock::eventually([&] { return peer.data() == "to the device \xff"; }));
  }
  // The peer sends data cut inside an escape and a notification, then hangs
  // up: the data is read, and the read after it reports the loss and
  // closes the port.
  set_timeouts(*port, TimeoutValue::floating(5));
  sim.feed("from \xff");
  sim.feed(bytes_of({0xFF, telnet::kIac, telnet::kSb, 44, 107, 0x10, telnet::kIac, telnet::kSe}) + "it");
  sim.close_by_peer(false);
  EXPECT_EQ(read_text(run(make_read(port, 100))), "from \xffit");
  OperationOutcome lost = run(make_read(port, 1));
  ASSERT_FALSE(lost);
  EXPECT_EQ(lost.error().text(), name + ": the connection was closed by the peer");
  EXPECT_FALSE(port->is_open());
}

}  // namespace
}  // namespace corvalink::test

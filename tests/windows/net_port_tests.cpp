// Network ports with the real Winsock layer: the port engine against the
// servers of net_peer.py on 127.0.0.1 (a raw one and an RFC 2217 one, both
// sending back what they receive), whose URLs come in CORVALINK_TEST_NET
// (tools/wine-test sets it).
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "../cpp/engine/engine_support.hpp"

namespace corvalink::test {
namespace {

std::vector<std::string> peer_urls() {
  const char* env = std::getenv("CORVALINK_TEST_NET");
  std::vector<std::string> urls;
  std::istringstream in(env ? env : "");
  for (std::string url; in >> url;) urls.push_back(url);
  return urls;
}

TEST(NetPort, RoundTripsThroughWinsock) {
  const std::vector<std::string> urls = peer_urls();
  ASSERT_EQ(urls.size(), 2u) << "CORVALINK_TEST_NET names the raw and the RFC 2217 server";
  std::string pattern;
  for (int i = 0; i < 65536; ++i) pattern.push_back(static_cast<char>(i % 256 == 7 ? 255 : i % 256));
  for (const std::string& url : urls) {
    SCOPED_TRACE(url);
    PortRef port = PortHandle::create(open_backend);
    ASSERT_TRUE(port->change_port(url));
    ASSERT_TRUE(port->update_settings([](PortSettings& s) { s.baudrate = 115200; }));
    Status opened = port->open();
    ASSERT_TRUE(opened) << opened.error().text();
    set_timeouts(*port, TimeoutValue::floating(10));

    put(port, "ping \xff\n");
    EXPECT_EQ(read_text(run(make_read_until(port, bytes("\n"), std::nullopt))), "ping \xff\n");
    // Both directions at once, every byte value.
    auto writer = std::async(std::launch::async, [&] { put(port, pattern); });
    const std::string back = read_text(run(make_read(port, pattern.size())));
    EXPECT_TRUE(back == pattern) << "came back: " << back.size() << " of " << pattern.size() << " bytes";
    writer.get();

    ASSERT_TRUE(port->update_settings([](PortSettings& s) { s.parity = Parity::Even; }));
    ASSERT_TRUE(port->set_rts(false));
    ASSERT_TRUE(port->reset_input_buffer());
    port->close();
  }
}

TEST(NetPort, RefusedConnectionNamesThePort) {
  PortRef port = PortHandle::create(open_backend);
  ASSERT_TRUE(port->change_port("socket://127.0.0.1:1?timeout=5"));
  Status opened = port->open();
  ASSERT_FALSE(opened);
  EXPECT_TRUE(opened.error().text().starts_with("could not open port 'socket://127.0.0.1:1?timeout=5': "))
      << opened.error().text();
  EXPECT_EQ(opened.error().code(), 10061);
}

}  // namespace
}  // namespace corvalink::test

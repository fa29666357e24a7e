// The Telnet decoder and encoders of rfc2217:// ports: data and commands
// apart, IAC escaping both ways, commands cut anywhere, and the bound on a
// subnegotiation's payload.
#include <gtest/gtest.h>

#include "telnet_support.hpp"

namespace corvalink::test {
namespace {

using namespace telnet;

TEST(Telnet, DataAndCommandsComeApart) {
  struct Case {
    const char* name;
    std::string stream;
    std::string data;
    std::vector<std::string> events;
  };
  const std::string over(Decoder::kMaxPayload + 1, 'x');
  std::string at_bound = "S0 99";
  for (std::size_t i = 0; i < Decoder::kMaxPayload; ++i) at_bound += " 121";
  const Case cases[] = {
      {"plain data", std::string("abc\r\n\0z", 7), std::string("abc\r\n\0z", 7), {}},
      {"doubled IAC is one data byte", bytes_of({'a', 255, 255, 'b', 255, 255}), bytes_of({'a', 255, 'b', 255}), {}},
      {"negotiation", bytes_of({'a', kIac, kWill, 44, 'b', kIac, kDont, 1}), "ab", {"N1 251 44", "N2 254 1"}},
      {"subnegotiation with an escaped payload byte",
       bytes_of({'a', kIac, kSb, 44, 111, 255, 255, kIac, kSe, 'b'}), "ab", {"S1 44 111 255"}},
      {"two-byte commands carry nothing", bytes_of({'a', kIac, 241, kIac, 249, kIac, 242, 'b'}), "ab", {}},
      {"a payload over the bound is dropped, the data after it kept",
       bytes_of({kIac, kSb, 44}) + over + bytes_of({kIac, kSe, 'c', kIac, kSb, 44, 7, 1, kIac, kSe}), "c",
       {"S1 44 7 1"}},
      {"a payload at the bound is kept", bytes_of({kIac, kSb, 99}) + std::string(Decoder::kMaxPayload, 'y') +
                                             bytes_of({kIac, kSe}),
       "", {at_bound}},
      {"IAC and another command inside a subnegotiation ends it unreported",
       bytes_of({kIac, kSb, 44, 107, kIac, kDo, 3, 'z'}), "z", {"N0 253 3"}},
      {"data inside a subnegotiation is not data", bytes_of({kIac, kSb, 44, 'q', 'q', kIac, kSe}), "", {"S0 44 113 113"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decoded whole = decode_in_pieces(c.stream, {});
    EXPECT_EQ(whole.data, c.data);
    EXPECT_EQ(whole.events, c.events);
    // Cut once at every position, and into single bytes: the same result.
    for (std::size_t cut = 1; cut < c.stream.size(); ++cut) {
      Decoded split = decode_in_pieces(c.stream, {cut});
      EXPECT_EQ(split.data, c.data) << "cut at " << cut;
      EXPECT_EQ(split.events, c.events) << "cut at " << cut;
    }
    std::vector<std::size_t> every;
    for (std::size_t i = 1; i < c.stream.size(); ++i) every.push_back(i);
    Decoded bytewise = decode_in_pieces(c.stream, every);
    EXPECT_EQ(bytewise.data, c.data);
    EXPECT_EQ(bytewise.events, c.events);
  }
}

TEST(Telnet, EncodersDoubleEveryIac) {
  std::vector<std::uint8_t> out;
  const std::uint8_t data[] = {1, 255, 255, 2};
  escape(data, out);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 255, 255, 255, 255, 2}));

  out.clear();
  const std::uint8_t payload[] = {com::kSetBaudrate, 0, 0, 0xFF, 0x10};
  subnegotiation(kComPort, payload, out);
  negotiation(kWill, kBinary, out);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{kIac, kSb, 44, 1, 0, 0, 255, 255, 0x10, kIac, kSe, kIac, kWill, 0}));

  Decoded back = decode_in_pieces(std::string(out.begin(), out.end()), {});
  EXPECT_EQ(back.events, (std::vector<std::string>{"S0 44 1 0 0 255 16", "N0 251 0"}));
}

}  // namespace
}  // namespace corvalink::test

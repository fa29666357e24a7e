// Random Telnet streams for the decoder, for a fixed time
// (CORVALINK_FUZZ_SECONDS, default 1.5; CORVALINK_FUZZ_SEED repeats a run).
//
// Each stream is decoded whole and in random pieces, each piece in place in
// a heap block of exactly its size (a read or write past it is caught by
// AddressSanitizer); both must agree. Escaped random data, with commands
// between its pieces, must decode to exactly that data.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>

#include "telnet_support.hpp"

namespace corvalink::test {
namespace {

using namespace telnet;

std::chrono::duration<double> fuzz_time() {
  const char* s = std::getenv("CORVALINK_FUZZ_SECONDS");
  return std::chrono::duration<double>(s ? std::atof(s) : 1.5);
}

std::uint64_t fuzz_seed() {
  const char* s = std::getenv("CORVALINK_FUZZ_SEED");
  return s ? std::strtoull(s, nullptr, 10) : std::random_device{}();
}

class Fuzzer {
 public:
  explicit Fuzzer(std::uint64_t seed) : rng_(seed) {}

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

  // Bytes drawn mostly from the ones that steer the decoder.
  std::string stream() {
    static constexpr std::uint8_t kHot[] = {kIac, kIac, kIac, kSb, kSe, kWill, kWont, kDo, kDont, 44, 0, 241, 'a'};
    std::string s;
    const std::size_t n = pick(pick(8) == 0 ? 400 : 40);
    for (std::size_t i = 0; i < n; ++i)
      s.push_back(static_cast<char>(pick(3) ? kHot[pick(sizeof kHot)] : static_cast<std::uint8_t>(pick(256))));
    return s;
  }

  std::vector<std::size_t> cuts(std::size_t length) {
    std::vector<std::size_t> c;
    if (length < 2) return c;
    for (std::size_t k = pick(6); k > 0; --k) c.push_back(1 + pick(length - 1));
    std::sort(c.begin(), c.end());
    return c;
  }

 private:
  std::mt19937_64 rng_;
};

TEST(TelnetFuzz, SplitDecodesAgreeAndEscapedDataComesBack) {
  const std::uint64_t seed = fuzz_seed();
  SCOPED_TRACE("CORVALINK_FUZZ_SEED=" + std::to_string(seed));
  Fuzzer f(seed);
  const auto end = std::chrono::steady_clock::now() + fuzz_time();
  std::size_t rounds = 0;
  while (std::chrono::steady_clock::now() < end) {
    ++rounds;
    // Arbitrary input: a whole decode and a split one agree.
    const std::string s = f.stream();
    const std::vector<std::size_t> cuts = f.cuts(s.size());
    Decoded whole = decode_in_pieces(s, {});
    Decoded split = decode_in_pieces(s, cuts);
    ASSERT_EQ(whole.data, split.data) << "round " << rounds;
    ASSERT_EQ(whole.events, split.events) << "round " << rounds;
    ASSERT_LE(whole.data.size(), s.size());

    // Escaped data with complete commands between the pieces.
    std::string data = f.stream();
    std::vector<std::uint8_t> wire;
    std::vector<std::string> expected;
    std::size_t at = 0;
    for (std::size_t cut : f.cuts(data.size())) {
      escape(std::span(reinterpret_cast<const std::uint8_t*>(data.data()) + at, cut - at), wire);
      at = cut;
      const std::string payload = f.stream().substr(0, Decoder::kMaxPayload);
      subnegotiation(kComPort, std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()), wire);
      std::string e = "S" + std::to_string(at) + " 44";
      for (unsigned char b : payload) e += " " + std::to_string(b);
      expected.push_back(e);
    }
    escape(std::span(reinterpret_cast<const std::uint8_t*>(data.data()) + at, data.size() - at), wire);
    const std::string w(wire.begin(), wire.end());
    Decoded back = decode_in_pieces(w, f.cuts(w.size()));
    ASSERT_EQ(back.data, data) << "round " << rounds;
    ASSERT_EQ(back.events, expected) << "round " << rounds;
  }
  EXPECT_GT(rounds, 0u);
}

}  // namespace
}  // namespace corvalink::test

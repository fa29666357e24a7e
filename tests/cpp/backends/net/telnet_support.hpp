// Decoding a Telnet stream in the tests: everything the decoder reports, in
// order, so a split decode can be compared with a whole one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backends/net/telnet.hpp"

namespace corvalink::test {

struct Decoded final : telnet::Sink {
  std::string data;
  // "N<data count> <verb> <option>" or "S<data count> <option> <payload bytes>", the
  // count being the data bytes that came before
  std::vector<std::string> events;
  telnet::Decoder* decoder = nullptr;

  void negotiation(std::uint8_t verb, std::uint8_t option) override {
    events.push_back("N" + std::to_string(data.size() + decoder->produced()) + " " + std::to_string(verb) + " " +
                     std::to_string(option));
  }
  void subnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload) override {
    std::string e = "S" + std::to_string(data.size() + decoder->produced()) + " " + std::to_string(option);
    for (std::uint8_t b : payload) e += " " + std::to_string(b);
    events.push_back(e);
  }
};

// Decodes `stream` in pieces ending at the given cut positions, each piece in
// place in a buffer of exactly its size.
inline Decoded decode_in_pieces(const std::string& stream, const std::vector<std::size_t>& cuts) {
  telnet::Decoder decoder;
  Decoded d;
  d.decoder = &decoder;
  std::size_t from = 0;
  auto piece = [&](std::size_t to) {
    const std::size_t n = to - from;
    std::vector<std::uint8_t> buf(stream.begin() + static_cast<std::ptrdiff_t>(from),
                                  stream.begin() + static_cast<std::ptrdiff_t>(to));
    const std::size_t k = decoder.decode(buf.data(), n, buf.data(), d);
    d.data.append(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(k));
    from = to;
  };
  for (std::size_t cut : cuts)
    if (cut > from && cut <= stream.size()) piece(cut);
  piece(stream.size());
  return d;
}

inline std::string bytes_of(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

}  // namespace corvalink::test

#include "backends/net/telnet.hpp"

namespace corvalink::telnet {

std::size_t Decoder::decode(const std::uint8_t* in, std::size_t n, std::uint8_t* out, Sink& sink) {
  std::size_t p = 0;
  produced_ = 0;
  const auto keep = [this](std::uint8_t b) {
    if (sb_length_ < sb_.size())
      sb_[sb_length_++] = b;
    else
      sb_overflow_ = true;
  };
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t b = in[i];
    switch (state_) {
      case State::Data:
        if (b == kIac)
          state_ = State::Iac;
        else
          out[p++] = b;
        continue;
      case State::Verb:
        state_ = State::Data;
        produced_ = p;
        sink.negotiation(verb_, b);
        continue;
      case State::SbOption:
        sb_option_ = b;
        sb_length_ = 0;
        sb_overflow_ = false;
        state_ = State::SbData;
        continue;
      case State::SbData:
        if (b == kIac)
          state_ = State::SbIac;
        else
          keep(b);
        continue;
      case State::SbIac:
        if (b == kIac) {
          keep(b);
          state_ = State::SbData;
          continue;
        }
        if (b == kSe) {
          state_ = State::Data;
          if (!sb_overflow_) {
            produced_ = p;
            sink.subnegotiation(sb_option_, std::span<const std::uint8_t>(sb_.data(), sb_length_));
          }
          continue;
        }
        // IAC followed by anything else ends a malformed subnegotiation,
        // which is dropped; the byte is read as the command after IAC.
        state_ = State::Iac;
        break;
      case State::Iac:
        break;
    }
    // State::Iac: b is the byte after IAC.
    if (b == kIac) {
      out[p++] = kIac;
      state_ = State::Data;
    } else if (b >= kWill && b <= kDont) {
      verb_ = b;
      state_ = State::Verb;
    } else if (b == kSb) {
      state_ = State::SbOption;
    } else {
      state_ = State::Data;  // NOP, GA, DM, BRK and the others carry nothing for us
    }
  }
  produced_ = p;
  return p;
}

void escape(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) {
  out.reserve(out.size() + data.size() + data.size() / 64 + 2);
  for (std::uint8_t b : data) {
    out.push_back(b);
    if (b == kIac) out.push_back(kIac);
  }
}

void negotiation(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
  out.insert(out.end(), {kIac, verb, option});
}

void subnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out) {
  out.insert(out.end(), {kIac, kSb, option});
  escape(payload, out);
  out.insert(out.end(), {kIac, kSe});
}

}  // namespace corvalink::telnet

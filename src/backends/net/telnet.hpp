// The Telnet stream of an rfc2217:// port: the decoder that separates data
// from commands, and the encoders for both.
//
// The decoder is a state machine over single bytes, so a command split
// across any number of reads is put together again; it keeps no input bytes
// beyond the payload of an open subnegotiation, which is bounded. Data comes
// out with IAC IAC turned back into one 0xFF; everything else is a command
// and goes to the sink. The connection runs in binary mode both ways, so
// carriage returns pass through untouched.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvalink::telnet {

inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kSe = 240;

inline constexpr std::uint8_t kBinary = 0;
inline constexpr std::uint8_t kEcho = 1;
inline constexpr std::uint8_t kSuppressGoAhead = 3;
inline constexpr std::uint8_t kComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server answers with
// the same command plus kServerOffset.
namespace com {
inline constexpr std::uint8_t kSetBaudrate = 1;
inline constexpr std::uint8_t kSetDatasize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopsize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kNotifyLinestate = 6;
inline constexpr std::uint8_t kNotifyModemstate = 7;
inline constexpr std::uint8_t kFlowcontrolSuspend = 8;
inline constexpr std::uint8_t kFlowcontrolResume = 9;
inline constexpr std::uint8_t kSetLinestateMask = 10;
inline constexpr std::uint8_t kSetModemstateMask = 11;
inline constexpr std::uint8_t kPurgeData = 12;
inline constexpr std::uint8_t kServerOffset = 100;

// SET-CONTROL values.
inline constexpr std::uint8_t kFlowNone = 1;
inline constexpr std::uint8_t kFlowXonXoff = 2;
inline constexpr std::uint8_t kFlowHardware = 3;
inline constexpr std::uint8_t kBreakOn = 5;
inline constexpr std::uint8_t kBreakOff = 6;
inline constexpr std::uint8_t kDtrOn = 8;
inline constexpr std::uint8_t kDtrOff = 9;
inline constexpr std::uint8_t kRtsOn = 11;
inline constexpr std::uint8_t kRtsOff = 12;
inline constexpr std::uint8_t kFlowDsr = 19;

// PURGE-DATA values: the server's buffer of data received from the device,
// of data to send to it, or both.
inline constexpr std::uint8_t kPurgeReceive = 1;
inline constexpr std::uint8_t kPurgeTransmit = 2;

// NOTIFY-MODEMSTATE bits.
inline constexpr std::uint8_t kModemCts = 0x10;
inline constexpr std::uint8_t kModemDsr = 0x20;
inline constexpr std::uint8_t kModemRi = 0x40;
inline constexpr std::uint8_t kModemCd = 0x80;
}  // namespace com

// What the decoder found between the data bytes, in stream order.
class Sink {
 public:
  // WILL, WONT, DO or DONT with its option.
  virtual void negotiation(std::uint8_t verb, std::uint8_t option) = 0;
  // A complete subnegotiation, its payload unescaped. One whose payload
  // exceeded Decoder::kMaxPayload is dropped and never reported.
  virtual void subnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload) = 0;

 protected:
  ~Sink() = default;
};

class Decoder {
 public:
  // Longer than any COM-PORT-OPTION payload (at most five bytes).
  static constexpr std::size_t kMaxPayload = 64;

  // Decodes n bytes from `in` and writes the data bytes to `out`, which may
  // be `in` itself (the output never overtakes the input). Returns how many
  // data bytes were written. Commands reach the sink as they complete; the
  // sink learns how many data bytes came before each through `produced()`.
  std::size_t decode(const std::uint8_t* in, std::size_t n, std::uint8_t* out, Sink& sink);
  // Data bytes written so far by the decode call under way.
  std::size_t produced() const noexcept { return produced_; }
  // True between IAC and the end of the command it starts.
  bool in_command() const noexcept { return state_ != State::Data; }

 private:
  enum class State : std::uint8_t { Data, Iac, Verb, SbOption, SbData, SbIac };

  State state_ = State::Data;
  std::uint8_t verb_ = 0;
  std::uint8_t sb_option_ = 0;
  bool sb_overflow_ = false;
  std::size_t sb_length_ = 0;
  std::size_t produced_ = 0;
  std::array<std::uint8_t, kMaxPayload> sb_{};
};

// Appends data with every 0xFF doubled.
void escape(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out);
// Appends IAC verb option.
void negotiation(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out);
// Appends IAC SB option payload IAC SE, with 0xFF in the payload doubled.
void subnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out);

}  // namespace corvalink::telnet

// The line and timeout settings of one port.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>

namespace corvalink {

enum class Parity : std::uint8_t { None, Even, Odd, Mark, Space };
enum class StopBits : std::uint8_t { One, OnePointFive, Two };

inline constexpr char parity_letter(Parity p) noexcept { return "NEOMS"[static_cast<int>(p)]; }

// A timeout as set from Python: none, an integer or a float of seconds. The
// kind is kept so it reads back as it was set.
class TimeoutValue {
 public:
  enum class Kind : std::uint8_t { None, Integer, Float };

  constexpr TimeoutValue() noexcept = default;
  static constexpr TimeoutValue none() noexcept { return {}; }
  static constexpr TimeoutValue integer(std::int64_t seconds) noexcept {
    TimeoutValue t;
    t.kind_ = Kind::Integer;
    t.integer_ = seconds;
    return t;
  }
  static constexpr TimeoutValue floating(double seconds) noexcept {
    TimeoutValue t;
    t.kind_ = Kind::Float;
    t.float_ = seconds;
    return t;
  }

  constexpr Kind kind() const noexcept { return kind_; }
  constexpr bool is_none() const noexcept { return kind_ == Kind::None; }
  constexpr std::int64_t as_integer() const noexcept { return integer_; }
  constexpr double as_float() const noexcept { return float_; }
  // Integer 0 or float 0.0 (the zero write timeout means "never wait").
  constexpr bool is_zero() const noexcept {
    return (kind_ == Kind::Integer && integer_ == 0) || (kind_ == Kind::Float && float_ == 0.0);
  }

  // none → no limit; integer n → n s; float x → x s rounded to the nearest
  // nanosecond, no limit for 2^64 s or more (and +inf).
  std::optional<std::chrono::nanoseconds> to_duration() const noexcept;

  constexpr bool operator==(const TimeoutValue& o) const noexcept {
    if (kind_ != o.kind_) return false;
    switch (kind_) {
      case Kind::None: return true;
      case Kind::Integer: return integer_ == o.integer_;
      case Kind::Float: return float_ == o.float_ || (std::isnan(float_) && std::isnan(o.float_));
    }
    return false;
  }

 private:
  Kind kind_ = Kind::None;
  // The member that kind_ names (every operation queued for a side keeps
  // three of these).
  union {
    std::int64_t integer_ = 0;
    double float_;
  };
};

// Seconds as a double → a duration, saturating at the largest duration
// (used for send_break's length, which has no "no limit").
std::chrono::nanoseconds saturating_duration(double seconds) noexcept;

// RS-485 direction control: the RTS level while sending and after, whether
// the receiver stays on while sending, and the delays before and after a
// transmission in seconds (kept as set, so they read back as set).
struct Rs485Settings {
  bool rts_level_for_tx = true;
  bool rts_level_for_rx = false;
  bool loopback = false;
  TimeoutValue delay_before_tx;
  TimeoutValue delay_before_rx;

  bool operator==(const Rs485Settings&) const = default;
};

// An RS-485 delay as drivers hold it (Linux's serial_rs485 has 32 bits of
// milliseconds): whole milliseconds, rounded up from the nearest
// microsecond; none is 0. Empty for a delay no driver can hold: negative,
// NaN, infinite or beyond 2^32 - 1 ms.
std::optional<std::uint32_t> rs485_delay_milliseconds(const TimeoutValue& delay) noexcept;

struct PortSettings {
  std::uint32_t baudrate = 9600;
  std::uint8_t bytesize = 8;
  Parity parity = Parity::None;
  StopBits stopbits = StopBits::One;
  bool xonxoff = false;
  bool rtscts = false;
  bool dsrdtr = false;
  TimeoutValue timeout;
  TimeoutValue write_timeout;
  TimeoutValue inter_byte_timeout;
  std::optional<bool> exclusive;
  // None leaves the driver's RS-485 state as it is (see the backends).
  std::optional<Rs485Settings> rs485;

  // True when a field that reaches the device differs.
  bool line_differs(const PortSettings& o) const noexcept {
    return baudrate != o.baudrate || bytesize != o.bytesize || parity != o.parity || stopbits != o.stopbits ||
           xonxoff != o.xonxoff || rtscts != o.rtscts || dsrdtr != o.dsrdtr || rs485 != o.rs485;
  }
  bool operator==(const PortSettings&) const = default;
};

}  // namespace corvalink

#include "engine/settings.hpp"

#include <cmath>
#include <limits>

namespace corvalink {

namespace {
constexpr auto kMaxNs = std::chrono::nanoseconds::max();

std::chrono::nanoseconds from_seconds_saturating(double seconds) noexcept {
  // Rounded to the nearest nanosecond; anything past the representable range
  // saturates (the caller's deadline arithmetic then sees "no deadline").
  double ns = std::nearbyint(seconds * 1e9);
  if (!(ns < 9.2233720368547758e18)) return kMaxNs;
  if (ns <= 0) return std::chrono::nanoseconds::zero();
  return std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
}
}  // namespace

std::optional<std::chrono::nanoseconds> TimeoutValue::to_duration() const noexcept {
  switch (kind_) {
    case Kind::None:
      return std::nullopt;
    case Kind::Integer:
      if (integer_ > kMaxNs.count() / 1'000'000'000) return kMaxNs;
      return std::chrono::seconds(integer_);
    case Kind::Float:
      // 2^64 s or more, +inf (and NaN, which validation never lets through): no limit.
      if (!(float_ < 18446744073709551616.0)) return std::nullopt;
      return from_seconds_saturating(float_);
  }
  return std::nullopt;
}

std::optional<std::uint32_t> rs485_delay_milliseconds(const TimeoutValue& delay) noexcept {
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  switch (delay.kind()) {
    case TimeoutValue::Kind::None: return 0;
    case TimeoutValue::Kind::Integer: {
      const std::int64_t s = delay.as_integer();
      if (s < 0 || s > kMax / 1000) return std::nullopt;
      return static_cast<std::uint32_t>(s * 1000);
    }
    case TimeoutValue::Kind::Float: {
      const double s = delay.as_float();
      if (!(s >= 0)) return std::nullopt;
      // 0.003 s is 3 ms, not 4: the product is rounded to the microsecond
      // first. Compared as a double, so 1e300 and inf are refused too.
      const double ms = std::ceil(std::round(s * 1e6) / 1000);
      if (!(ms <= kMax)) return std::nullopt;
      return static_cast<std::uint32_t>(ms);
    }
  }
  return std::nullopt;
}

std::chrono::nanoseconds saturating_duration(double seconds) noexcept {
  if (std::isnan(seconds) || seconds <= 0) return std::chrono::nanoseconds::zero();
  return from_seconds_saturating(seconds);
}

}  // namespace corvalink

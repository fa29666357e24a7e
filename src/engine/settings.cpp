#include "engine/settings.hpp"

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

std::chrono::nanoseconds saturating_duration(double seconds) noexcept {
  if (std::isnan(seconds) || seconds <= 0) return std::chrono::nanoseconds::zero();
  return from_seconds_saturating(seconds);
}

}  // namespace corvalink

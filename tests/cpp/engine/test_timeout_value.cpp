#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "engine/settings.hpp"

namespace corvalink {
namespace {

using std::chrono::nanoseconds;

TEST(TimeoutValue, ToDuration) {
  const auto inf = std::numeric_limits<double>::infinity();
  struct Case {
    TimeoutValue value;
    std::optional<nanoseconds> expected;
  };
  const Case cases[] = {
      {TimeoutValue::none(), std::nullopt},
      {TimeoutValue::integer(0), nanoseconds(0)},
      {TimeoutValue::integer(3), std::chrono::seconds(3)},
      {TimeoutValue::floating(0.0), nanoseconds(0)},
      {TimeoutValue::floating(0.25), std::chrono::milliseconds(250)},
      {TimeoutValue::floating(1.5e-9), nanoseconds(2)},
      {TimeoutValue::floating(0.4e-9), nanoseconds(0)},
      {TimeoutValue::floating(inf), std::nullopt},
      {TimeoutValue::floating(18446744073709551616.0), std::nullopt},
      // Representable as seconds but not as nanoseconds: the longest wait.
      {TimeoutValue::floating(1e12), nanoseconds::max()},
      {TimeoutValue::integer(std::numeric_limits<std::int64_t>::max()), nanoseconds::max()},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.to_duration(), c.expected);
}

TEST(TimeoutValue, KindIsKeptAndZeroIsRecognised) {
  EXPECT_EQ(TimeoutValue::integer(2).kind(), TimeoutValue::Kind::Integer);
  EXPECT_EQ(TimeoutValue::floating(2.0).kind(), TimeoutValue::Kind::Float);
  EXPECT_NE(TimeoutValue::integer(2), TimeoutValue::floating(2.0));
  EXPECT_TRUE(TimeoutValue::integer(0).is_zero());
  EXPECT_TRUE(TimeoutValue::floating(0.0).is_zero());
  EXPECT_FALSE(TimeoutValue::none().is_zero());
  EXPECT_FALSE(TimeoutValue::floating(1e-12).is_zero());
}

TEST(SaturatingDuration, BreakLengths) {
  EXPECT_EQ(saturating_duration(0.0), nanoseconds(0));
  EXPECT_EQ(saturating_duration(0.25), std::chrono::milliseconds(250));
  EXPECT_EQ(saturating_duration(1e300), nanoseconds::max());
  EXPECT_EQ(saturating_duration(std::numeric_limits<double>::infinity()), nanoseconds::max());
}

}  // namespace
}  // namespace corvalink

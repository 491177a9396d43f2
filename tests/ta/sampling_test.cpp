// Sampling periods: where each starts.

#include <gtest/gtest.h>

#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/ta/sampling.hpp"

namespace tolbu_sdk::ta {
namespace {

using platform::make_local;

TEST(Sampling, PeriodsStartAtTheirUnitsBoundary) {
  const auto t = make_local(2024, 3, 4, 9, 47, 38, 250000);
  EXPECT_EQ(period_start(SamplingPeriodType::SEC_1, t), make_local(2024, 3, 4, 9, 47, 38));
  EXPECT_EQ(period_start(SamplingPeriodType::SEC_15, t), make_local(2024, 3, 4, 9, 47, 30));
  EXPECT_EQ(period_start(SamplingPeriodType::MIN_5, t), make_local(2024, 3, 4, 9, 45));
  EXPECT_EQ(period_start(SamplingPeriodType::MIN_15, t), make_local(2024, 3, 4, 9, 45));
  EXPECT_EQ(period_start(SamplingPeriodType::MIN_30, t), make_local(2024, 3, 4, 9, 30));
  EXPECT_EQ(period_start(SamplingPeriodType::HOUR_4, t), make_local(2024, 3, 4, 8));
  EXPECT_EQ(period_start(SamplingPeriodType::DAY_1, t), make_local(2024, 3, 4));
  // Seconds count from the whole minute, so SEC_... periods never straddle one.
  EXPECT_EQ(period_start(SamplingPeriodType::SEC_30, make_local(2024, 1, 1, 0, 0, 59)),
            make_local(2024, 1, 1, 0, 0, 30));
  // Before the epoch too.
  EXPECT_EQ(period_start(SamplingPeriodType::MIN_10, make_local(1969, 12, 31, 23, 59, 59)),
            make_local(1969, 12, 31, 23, 50));
}

TEST(Sampling, NamesRoundTrip) {
  for (int i = 0; i <= static_cast<int>(SamplingPeriodType::DAY_1); ++i) {
    const auto p = static_cast<SamplingPeriodType>(i);
    EXPECT_EQ(sampling_period_from_name(enum_name(p)), p);
  }
  EXPECT_FALSE(sampling_period_from_name("MIN_7"));
}

}  // namespace
}  // namespace tolbu_sdk::ta

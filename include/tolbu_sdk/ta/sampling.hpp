#pragma once
// Input sampling: an indicator built with a sampling period folds inputs that fall in the same
// period as its newest input into that input (the newer replaces it). Seconds count from the
// whole minute, minutes from the whole hour, hours from the whole day and days from the start
// of the year, so MIN_5 periods start at :00, :05, :10, ... of every hour.

#include <optional>
#include <string_view>

#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/export.hpp"

namespace tolbu_sdk::ta {

// The periods an indicator's inputs can be folded into (IndicatorOptions::input_sampling).
enum class SamplingPeriodType {
  SEC_1,
  SEC_3,
  SEC_5,
  SEC_10,
  SEC_15,
  SEC_30,
  MIN_1,
  MIN_3,
  MIN_5,
  MIN_10,
  MIN_15,
  MIN_30,
  HOUR_1,
  HOUR_2,
  HOUR_3,
  HOUR_4,
  DAY_1,
};

// The member's name, as written in C++ ("MIN_5").
TOLBU_API std::string_view enum_name(SamplingPeriodType p);
// The member named `name` ("MIN_5"); absent for an unknown name.
TOLBU_API std::optional<SamplingPeriodType> sampling_period_from_name(std::string_view name);

// The start of the sampling period that holds `time`.
TOLBU_API platform::LocalDateTime period_start(SamplingPeriodType p, platform::LocalDateTime time);

}  // namespace tolbu_sdk::ta

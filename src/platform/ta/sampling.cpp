#include "tolbu_sdk/ta/sampling.hpp"

#include <array>
#include <chrono>

namespace tolbu_sdk::ta {
namespace {

using namespace std::chrono;

struct PeriodInfo {
  std::string_view name;
  char unit;  // 's', 'm', 'h', 'd'
  int count;
};

constexpr std::array<PeriodInfo, 17> kPeriods{{
    {"SEC_1", 's', 1},
    {"SEC_3", 's', 3},
    {"SEC_5", 's', 5},
    {"SEC_10", 's', 10},
    {"SEC_15", 's', 15},
    {"SEC_30", 's', 30},
    {"MIN_1", 'm', 1},
    {"MIN_3", 'm', 3},
    {"MIN_5", 'm', 5},
    {"MIN_10", 'm', 10},
    {"MIN_15", 'm', 15},
    {"MIN_30", 'm', 30},
    {"HOUR_1", 'h', 1},
    {"HOUR_2", 'h', 2},
    {"HOUR_3", 'h', 3},
    {"HOUR_4", 'h', 4},
    {"DAY_1", 'd', 1},
}};

const PeriodInfo& info(SamplingPeriodType p) { return kPeriods.at(static_cast<std::size_t>(p)); }

}  // namespace

std::string_view enum_name(SamplingPeriodType p) { return info(p).name; }

std::optional<SamplingPeriodType> sampling_period_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kPeriods.size(); ++i) {
    if (kPeriods[i].name == name) return static_cast<SamplingPeriodType>(i);
  }
  return std::nullopt;
}

platform::LocalDateTime period_start(SamplingPeriodType p, platform::LocalDateTime time) {
  const PeriodInfo& pi = info(p);
  switch (pi.unit) {
    case 's': {
      const auto minute = floor<minutes>(time);
      const auto secs = floor<seconds>(time) - minute;
      return minute + seconds(secs.count() / pi.count * pi.count);
    }
    case 'm': {
      const auto hour = floor<hours>(time);
      const auto mins = floor<minutes>(time) - hour;
      return hour + minutes(mins.count() / pi.count * pi.count);
    }
    case 'h': {
      const auto day = floor<days>(time);
      const auto hrs = floor<hours>(time) - day;
      return day + hours(hrs.count() / pi.count * pi.count);
    }
    default: {
      const auto day = floor<days>(time);
      const year_month_day ymd{day};
      const local_days year_start{ymd.year() / January / 1};
      const auto n = (day - year_start).count();
      return year_start + days(n / pi.count * pi.count);
    }
  }
}

}  // namespace tolbu_sdk::ta

#include "tolbu_sdk/ta/momentum/stc.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {
namespace {
int stc_period(std::string_view param, int v) { return detail::positive("STC", param, v); }
}  // namespace

STC::STC(int fast_macd_period, int slow_macd_period, int stoch_period, int stoch_smoothing_period,
         MAType stoch_ma_type, const IndicatorOptions& options)
    : Indicator(options),
      stoch_period_(static_cast<std::size_t>(stc_period("stoch_period", stoch_period))),
      fast_(MAType::EMA, stc_period("fast_macd_period", fast_macd_period)),
      slow_(MAType::EMA, stc_period("slow_macd_period", slow_macd_period)),
      first_(stoch_period_, stoch_period_, 100.0),
      first_smoothing_(stoch_ma_type, stc_period("stoch_smoothing_period", stoch_smoothing_period)),
      second_(stoch_period_, 1, 100.0),
      second_smoothing_(stoch_ma_type, stoch_smoothing_period) {
  _manage(fast_);
  _manage(slow_);
  _manage(first_);
  _manage(first_smoothing_);
  _manage(second_);
  _manage(second_smoothing_);
}

std::optional<double> STC::_calculate_new_value() {
  const double x = input_values().back();
  const bool fast = fast_.add(x);
  const bool slow = slow_.add(x);
  // Each stage takes the value of the one before, or an absent push when it has none.
  const bool first =
      fast && slow ? first_.add(fast_.current() - slow_.current()) : first_.add_absent();
  const bool smoothed =
      first ? first_smoothing_.add(first_.current()) : first_smoothing_.add_absent();
  const bool second = smoothed ? second_.add(first_smoothing_.current()) : second_.add_absent();
  // The first pass has a %K for each MACD value from the `stoch_period`-th on.
  const bool started = first_.count() >= 2 * stoch_period_ - 1;
  if (started && second ? second_smoothing_.add(second_.current())
                        : second_smoothing_.add_absent()) {
    return second_smoothing_.current();
  }
  return std::nullopt;
}

STC::STC(Params& p, const IndicatorOptions& o)
    : STC{p.integer("fast_macd_period"),
          p.integer("slow_macd_period"),
          p.integer("stoch_period"),
          p.integer("stoch_smoothing_period"),
          p.ma_type("stoch_ma_type", MAType::SMA),
          o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(STC)

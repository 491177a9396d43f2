#include "tolbu_sdk/ta/trend/super_trend.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

SuperTrend::SuperTrend(int atr_period, double mult, const IndicatorOptions& options)
    : Indicator(options),
      mult_(detail::finite("SuperTrend", "mult", mult)),
      atr_(detail::positive("SuperTrend", "atr_period", atr_period)) {
  _keep_history(2);
  _manage(atr_);
  _manage(bands_);
}

std::optional<SuperTrendValue> SuperTrend::_calculate_new_value() {
  const auto& in = input_values();
  const OHLCV& bar = in.back();
  atr_.add(bar);
  const auto atr = atr_.value();
  const Bands previous = bands_.empty() ? Bands{} : bands_.back();
  if (!atr) {
    bands_.push(Bands{});
    return std::nullopt;
  }
  if (!previous.ready) {
    bands_.push(Bands{true, 0.0, 0.0, 0.0});
    return SuperTrendValue{0.0, Trend::UP};
  }
  const double mid = (bar.high + bar.low) / 2.0;
  const double basic_upper = mid + mult_ * *atr;
  const double basic_lower = mid - mult_ * *atr;
  const double previous_close = in.back(1).close;
  Bands b{true, previous.upper, previous.lower, 0.0};
  if (basic_upper < previous.upper || previous_close > previous.upper) b.upper = basic_upper;
  if (basic_lower > previous.lower || previous_close < previous.lower) b.lower = basic_lower;
  if (previous.line == previous.upper) {
    b.line = bar.close <= b.upper ? b.upper : b.lower;
  } else {
    b.line = bar.close >= b.lower ? b.lower : b.upper;
  }
  bands_.push(b);
  return SuperTrendValue{b.line, b.line == b.upper ? Trend::DOWN : Trend::UP};
}

SuperTrend::SuperTrend(Params& p, const IndicatorOptions& o)
    : SuperTrend{p.integer("atr_period"), p.number("mult"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(SuperTrend)

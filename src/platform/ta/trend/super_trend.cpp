#include "tolbu_sdk/ta/trend/super_trend.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

SuperTrend::SuperTrend(int atr_period, double mult, const IndicatorOptions& options)
    : Indicator(options),
      _mult(mult),
      _atr(detail::positive("SuperTrend", "atr_period", atr_period)) {
  _keep_history(2);
  _manage(_atr);
  _manage(_bands);
}

std::optional<SuperTrendValue> SuperTrend::_calculate_new_value() {
  const auto& in = input_values();
  const OHLCV& bar = in.back();
  _atr.add(bar);
  const auto atr = _atr.value();
  const Bands previous = _bands.empty() ? Bands{} : _bands.back();
  if (!atr) {
    _bands.push(Bands{});
    return std::nullopt;
  }
  if (!previous.ready) {
    _bands.push(Bands{true, 0.0, 0.0, 0.0});
    return SuperTrendValue{0.0, Trend::UP};
  }
  const double mid = (bar.high + bar.low) / 2.0;
  const double basic_upper = mid + _mult * *atr;
  const double basic_lower = mid - _mult * *atr;
  const double previous_close = in.back(1).close;
  Bands b{true, previous.upper, previous.lower, 0.0};
  if (basic_upper < previous.upper || previous_close > previous.upper) b.upper = basic_upper;
  if (basic_lower > previous.lower || previous_close < previous.lower) b.lower = basic_lower;
  if (previous.line == previous.upper) {
    b.line = bar.close <= b.upper ? b.upper : b.lower;
  } else {
    b.line = bar.close >= b.lower ? b.lower : b.upper;
  }
  _bands.push(b);
  return SuperTrendValue{b.line, b.line == b.upper ? Trend::DOWN : Trend::UP};
}

SuperTrend::SuperTrend(Params& p, const IndicatorOptions& o)
    : SuperTrend{p.integer("atr_period"), p.number("mult"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(SuperTrend)

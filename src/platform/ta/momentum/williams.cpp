#include "tolbu_sdk/ta/momentum/williams.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

Williams::Williams(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("Williams", "period", period)),
      _high(static_cast<std::size_t>(period)),
      _low(static_cast<std::size_t>(period)) {
  _manage(_high);
  _manage(_low);
}

std::optional<double> Williams::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  _high.push(bar.high);
  _low.push(bar.low);
  if (!_high.full()) return std::nullopt;
  const double hh = _high.value();
  const double range = hh - _low.value();
  if (range == 0.0) return _previous_output();
  return (bar.close - hh) / range * 100.0;
}

Williams::Williams(Params& p, const IndicatorOptions& o) : Williams{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(Williams)

#include "tolbu_sdk/ta/momentum/williams.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

Williams::Williams(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("Williams", "period", period), options),
      high_(static_cast<std::size_t>(period)),
      low_(static_cast<std::size_t>(period)) {
  _manage(high_);
  _manage(low_);
}

std::optional<double> Williams::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  high_.push(bar.high);
  low_.push(bar.low);
  if (!high_.full()) return std::nullopt;
  const double hh = high_.value();
  const double range = hh - low_.value();
  if (range == 0.0) return _previous_output();
  return (bar.close - hh) / range * 100.0;
}

Williams::Williams(Params& p, const IndicatorOptions& o) : Williams{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(Williams)

#include "tolbu_sdk/ta/trend/vtx.hpp"

#include <algorithm>
#include <cmath>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

VTX::VTX(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("VTX", "period", period), options),
      plus_(static_cast<std::size_t>(period)),
      minus_(static_cast<std::size_t>(period)),
      range_(static_cast<std::size_t>(period)) {
  _keep_history(2);
  _manage(plus_);
  _manage(minus_);
  _manage(range_);
  _manage(still_);
}

std::optional<VTXValue> VTX::_calculate_new_value() {
  const auto& in = input_values();
  const OHLCV& bar = in.back();
  // The first bar has no previous one; its zeros leave the windows before the first value.
  double plus = 0.0;
  double minus = 0.0;
  double range = 0.0;
  if (input_count() > 1) {
    const OHLCV& prev = in.back(1);
    plus = std::abs(bar.high - prev.low);
    minus = std::abs(bar.low - prev.high);
    range = std::max(bar.high, prev.close) - std::min(bar.low, prev.close);
  }
  plus_.push(plus);
  minus_.push(minus);
  range_.push(range);
  const std::size_t still = range == 0.0 ? (still_.empty() ? 0 : still_.back()) + 1 : 0;
  still_.push(still);
  if (input_count() <= static_cast<std::size_t>(period_)) return std::nullopt;
  if (still >= static_cast<std::size_t>(period_)) return _previous_output();
  return VTXValue{plus_.sum() / range_.sum(), minus_.sum() / range_.sum()};
}

VTX::VTX(Params& p, const IndicatorOptions& o) : VTX{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(VTX)

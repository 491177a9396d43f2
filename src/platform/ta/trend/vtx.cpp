#include "tolbu_sdk/ta/trend/vtx.hpp"

#include <algorithm>
#include <cmath>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

VTX::VTX(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("VTX", "period", period)),
      _plus(static_cast<std::size_t>(period)),
      _minus(static_cast<std::size_t>(period)),
      _range(static_cast<std::size_t>(period)) {
  _keep_history(2);
  _manage(_plus);
  _manage(_minus);
  _manage(_range);
  _manage(_still);
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
  _plus.push(plus);
  _minus.push(minus);
  _range.push(range);
  const std::size_t still = range == 0.0 ? (_still.empty() ? 0 : _still.back()) + 1 : 0;
  _still.push(still);
  if (input_count() <= static_cast<std::size_t>(_period)) return std::nullopt;
  if (still >= static_cast<std::size_t>(_period)) return _previous_output();
  return VTXValue{_plus.sum() / _range.sum(), _minus.sum() / _range.sum()};
}

VTX::VTX(Params& p, const IndicatorOptions& o) : VTX{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(VTX)

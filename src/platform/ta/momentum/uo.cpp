#include "tolbu_sdk/ta/momentum/uo.hpp"

#include <algorithm>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

UO::UO(int fast_period, int mid_period, int slow_period, const IndicatorOptions& options)
    : Indicator(options),
      _fast_period(detail::positive("UO", "fast_period", fast_period)),
      _mid_period(detail::positive("UO", "mid_period", mid_period)),
      _slow_period(detail::positive("UO", "slow_period", slow_period)),
      _warm_up(static_cast<std::size_t>(std::max({fast_period, mid_period, slow_period})) + 1),
      _fast_pressure(static_cast<std::size_t>(fast_period)),
      _mid_pressure(static_cast<std::size_t>(mid_period)),
      _slow_pressure(static_cast<std::size_t>(slow_period)),
      _fast_range(static_cast<std::size_t>(fast_period)),
      _mid_range(static_cast<std::size_t>(mid_period)),
      _slow_range(static_cast<std::size_t>(slow_period)) {
  _keep_history(2);
  for (auto* s : {&_fast_pressure, &_mid_pressure, &_slow_pressure, &_fast_range, &_mid_range,
                  &_slow_range}) {
    _manage(*s);
  }
  _manage(_still);
}

std::optional<double> UO::_calculate_new_value() {
  const auto& in = input_values();
  const OHLCV& bar = in.back();
  // The first bar has no previous close; its zeros leave the windows before the first value.
  double pressure = 0.0;
  double range = 0.0;
  if (input_count() > 1) {
    const double prev_close = in.back(1).close;
    const double floor = std::min(bar.low, prev_close);
    pressure = bar.close - floor;
    range = std::max(bar.high, prev_close) - floor;
  }
  for (auto* s : {&_fast_pressure, &_mid_pressure, &_slow_pressure}) s->push(pressure);
  for (auto* s : {&_fast_range, &_mid_range, &_slow_range}) s->push(range);
  const std::size_t still = range == 0.0 ? (_still.empty() ? 0 : _still.back()) + 1 : 0;
  _still.push(still);
  if (input_count() < _warm_up) return std::nullopt;
  const auto shortest =
      static_cast<std::size_t>(std::min({_fast_period, _mid_period, _slow_period}));
  if (still >= shortest) return _previous_output();
  const double fast = _fast_pressure.sum() / _fast_range.sum();
  const double mid = _mid_pressure.sum() / _mid_range.sum();
  const double slow = _slow_pressure.sum() / _slow_range.sum();
  return 100.0 * (4.0 * fast + 2.0 * mid + slow) / 7.0;
}

UO::UO(Params& p, const IndicatorOptions& o)
    : UO{p.integer("fast_period"), p.integer("mid_period"), p.integer("slow_period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(UO)

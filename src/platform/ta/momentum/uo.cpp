#include "tolbu_sdk/ta/momentum/uo.hpp"

#include <algorithm>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

UO::UO(int fast_period, int mid_period, int slow_period, const IndicatorOptions& options)
    : Indicator(options),
      fast_period_(detail::positive("UO", "fast_period", fast_period)),
      mid_period_(detail::positive("UO", "mid_period", mid_period)),
      slow_period_(detail::positive("UO", "slow_period", slow_period)),
      warm_up_(static_cast<std::size_t>(std::max({fast_period, mid_period, slow_period})) + 1),
      fast_pressure_(static_cast<std::size_t>(fast_period)),
      mid_pressure_(static_cast<std::size_t>(mid_period)),
      slow_pressure_(static_cast<std::size_t>(slow_period)),
      fast_range_(static_cast<std::size_t>(fast_period)),
      mid_range_(static_cast<std::size_t>(mid_period)),
      slow_range_(static_cast<std::size_t>(slow_period)) {
  _keep_history(2);
  for (auto* s : {&fast_pressure_, &mid_pressure_, &slow_pressure_, &fast_range_, &mid_range_,
                  &slow_range_}) {
    _manage(*s);
  }
  _manage(still_);
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
  for (auto* s : {&fast_pressure_, &mid_pressure_, &slow_pressure_}) s->push(pressure);
  for (auto* s : {&fast_range_, &mid_range_, &slow_range_}) s->push(range);
  const std::size_t still = range == 0.0 ? (still_.empty() ? 0 : still_.back()) + 1 : 0;
  still_.push(still);
  if (input_count() < warm_up_) return std::nullopt;
  const auto shortest =
      static_cast<std::size_t>(std::min({fast_period_, mid_period_, slow_period_}));
  if (still >= shortest) return _previous_output();
  const double fast = fast_pressure_.sum() / fast_range_.sum();
  const double mid = mid_pressure_.sum() / mid_range_.sum();
  const double slow = slow_pressure_.sum() / slow_range_.sum();
  return 100.0 * (4.0 * fast + 2.0 * mid + slow) / 7.0;
}

UO::UO(Params& p, const IndicatorOptions& o)
    : UO{p.integer("fast_period"), p.integer("mid_period"), p.integer("slow_period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(UO)

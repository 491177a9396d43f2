#include "tolbu_sdk/ta/momentum/stoch.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

Stoch::Stoch(int period, int smoothing_period, MAType ma_type, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("Stoch", "period", period), options),
      smoothing_period_(detail::positive("Stoch", "smoothing_period", smoothing_period)),
      high_(static_cast<std::size_t>(period)),
      low_(static_cast<std::size_t>(period)),
      d_(ma_type, smoothing_period) {
  _manage(high_);
  _manage(low_);
  _manage(d_);
}

std::optional<StochValue> Stoch::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  high_.push(bar.high);
  low_.push(bar.low);
  std::optional<double> k;
  if (high_.full()) {
    const double ll = low_.value();
    const double range = high_.value() - ll;
    if (range != 0.0) {
      k = (bar.close - ll) / range * 100.0;
    } else if (auto previous = _previous_output()) {
      k = previous->k;
    }
  }
  const auto d = d_.push(k);
  if (!k) return std::nullopt;
  return StochValue{k, d};
}

Stoch::Stoch(Params& p, const IndicatorOptions& o)
    : Stoch{p.integer("period"), p.integer("smoothing_period"), p.ma_type("ma_type", MAType::SMA),
            o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(Stoch)

#include "tolbu_sdk/ta/momentum/stoch.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

Stoch::Stoch(int period, int smoothing_period, MAType ma_type, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("Stoch", "period", period)),
      _smoothing_period(detail::positive("Stoch", "smoothing_period", smoothing_period)),
      _high(static_cast<std::size_t>(period)),
      _low(static_cast<std::size_t>(period)),
      _d(ma_type, smoothing_period) {
  _manage(_high);
  _manage(_low);
  _manage(_d);
}

std::optional<StochValue> Stoch::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  _high.push(bar.high);
  _low.push(bar.low);
  std::optional<double> k;
  if (_high.full()) {
    const double ll = _low.value();
    const double range = _high.value() - ll;
    if (range != 0.0) {
      k = (bar.close - ll) / range * 100.0;
    } else if (auto previous = _previous_output()) {
      k = previous->k;
    }
  }
  const auto d = _d.push(k);
  if (!k) return std::nullopt;
  return StochValue{k, d};
}

Stoch::Stoch(Params& p, const IndicatorOptions& o)
    : Stoch{p.integer("period"), p.integer("smoothing_period"), p.ma_type("ma_type", MAType::SMA),
            o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(Stoch)

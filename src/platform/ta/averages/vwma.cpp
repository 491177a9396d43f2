#include "tolbu_sdk/ta/averages/vwma.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

VWMA::VWMA(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("VWMA", "period", period)),
      _price_volume(static_cast<std::size_t>(period)),
      _volume(static_cast<std::size_t>(period)) {
  _manage(_price_volume);
  _manage(_volume);
}

std::optional<double> VWMA::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  _price_volume.push(bar.close * bar.volume);
  _volume.push(bar.volume);
  if (!_volume.full()) return std::nullopt;
  // No volume traded in the whole window: no weighting is possible.
  if (_volume.sum() == 0.0) return std::nullopt;
  return _price_volume.sum() / _volume.sum();
}

VWMA::VWMA(Params& p, const IndicatorOptions& o) : VWMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(VWMA)

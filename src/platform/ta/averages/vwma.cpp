#include "tolbu_sdk/ta/averages/vwma.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

VWMA::VWMA(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("VWMA", "period", period), options),
      price_volume_(static_cast<std::size_t>(period)),
      volume_(static_cast<std::size_t>(period)) {
  _manage(price_volume_);
  _manage(volume_);
}

std::optional<double> VWMA::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  price_volume_.push(bar.close * bar.volume);
  volume_.push(bar.volume);
  if (!volume_.full()) return std::nullopt;
  // No volume traded in the whole window: no weighting is possible.
  if (volume_.sum() == 0.0) return std::nullopt;
  return price_volume_.sum() / volume_.sum();
}

VWMA::VWMA(Params& p, const IndicatorOptions& o) : VWMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(VWMA)

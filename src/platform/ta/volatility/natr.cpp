#include "tolbu_sdk/ta/volatility/natr.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

NATR::NATR(int period, const IndicatorOptions& options)
    : Indicator(options), atr_(detail::positive("NATR", "period", period)) {
  _manage(atr_);
}

std::optional<double> NATR::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  atr_.add(bar);
  const auto atr = atr_.value();
  // A zero close has no percentage: absent rather than an infinity.
  if (!atr || bar.close == 0.0) return std::nullopt;
  return 100.0 * *atr / bar.close;
}

NATR::NATR(Params& p, const IndicatorOptions& o) : NATR{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(NATR)

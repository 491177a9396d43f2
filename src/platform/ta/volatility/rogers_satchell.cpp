#include "tolbu_sdk/ta/volatility/rogers_satchell.hpp"

#include <algorithm>
#include <cmath>

#include "../check.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

RogersSatchell::RogersSatchell(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("RogersSatchell", "period", period), options),
      terms_(static_cast<std::size_t>(period)) {
  _manage(terms_);
}

std::optional<double> RogersSatchell::_calculate_new_value() {
  const OHLCV& b = input_values().back();
  if (!(b.open > 0.0 && b.high > 0.0 && b.low > 0.0 && b.close > 0.0)) {
    throw ValueError("RogersSatchell: prices must be positive (a logarithm is taken)");
  }
  const double hc = std::log(b.high / b.close);
  const double ho = std::log(b.high / b.open);
  const double lc = std::log(b.low / b.close);
  const double lo = std::log(b.low / b.open);
  terms_.push(hc * ho + lc * lo);
  if (!terms_.full()) return std::nullopt;
  // Each term is >= 0 for a consistent bar; clamp the rounding of the running sum.
  return std::sqrt(std::max(0.0, terms_.sum() / period_));
}

RogersSatchell::RogersSatchell(Params& p, const IndicatorOptions& o)
    : RogersSatchell{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(RogersSatchell)

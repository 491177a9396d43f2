#include "tolbu_sdk/ta/averages/sma.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

SMA::SMA(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("SMA", "period", period), options), sum_(period) {
  _manage(sum_);
}

std::optional<double> SMA::_calculate_new_value() {
  sum_.push(input_values().back());
  if (!sum_.full()) return std::nullopt;
  return sum_.sum() / period_;
}

SMA::SMA(Params& p, const IndicatorOptions& o) : SMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(SMA)

#include "tolbu_sdk/ta/averages/wma.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

WMA::WMA(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("WMA", "period", period), options), sum_(period) {
  _manage(sum_);
}

std::optional<double> WMA::_calculate_new_value() {
  sum_.push(input_values().back());
  if (!sum_.full()) return std::nullopt;
  return sum_.mean();
}

WMA::WMA(Params& p, const IndicatorOptions& o) : WMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(WMA)

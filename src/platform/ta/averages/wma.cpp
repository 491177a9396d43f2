#include "tolbu_sdk/ta/averages/wma.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

WMA::WMA(int period, const IndicatorOptions& options)
    : Indicator(options), _period(detail::positive("WMA", "period", period)), _sum(period) {
  _manage(_sum);
}

std::optional<double> WMA::_calculate_new_value() {
  _sum.push(input_values().back());
  if (!_sum.full()) return std::nullopt;
  return _sum.mean();
}

WMA::WMA(Params& p, const IndicatorOptions& o) : WMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(WMA)

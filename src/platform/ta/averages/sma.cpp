#include "tolbu_sdk/ta/averages/sma.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

SMA::SMA(int period, const IndicatorOptions& options)
    : Indicator(options), _period(detail::positive("SMA", "period", period)), _sum(period) {
  _manage(_sum);
}

std::optional<double> SMA::_calculate_new_value() {
  _sum.push(input_values().back());
  if (!_sum.full()) return std::nullopt;
  return _sum.sum() / _period;
}

SMA::SMA(Params& p, const IndicatorOptions& o) : SMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(SMA)

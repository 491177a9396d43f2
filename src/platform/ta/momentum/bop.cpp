#include "tolbu_sdk/ta/momentum/bop.hpp"

#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

BOP::BOP(const IndicatorOptions& options) : Indicator(options) {}

std::optional<double> BOP::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  const double range = bar.high - bar.low;
  if (range == 0.0) return _previous_output();
  return (bar.close - bar.open) / range;
}

BOP::BOP(Params&, const IndicatorOptions& o) : BOP(o) {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(BOP)

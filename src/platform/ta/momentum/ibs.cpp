#include "tolbu_sdk/ta/momentum/ibs.hpp"

#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

IBS::IBS(const IndicatorOptions& options) : Indicator(options) {}

std::optional<double> IBS::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  const double range = bar.high - bar.low;
  if (range == 0.0) return _previous_output();
  return (bar.close - bar.low) / range;
}

IBS::IBS(Params&, const IndicatorOptions& o) : IBS(o) {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(IBS)

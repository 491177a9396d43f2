#include "tolbu_sdk/ta/volume/obv.hpp"

#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

OBV::OBV(const IndicatorOptions& options) : Indicator(options) { _keep_history(2); }

std::optional<double> OBV::_calculate_new_value() {
  const auto& in = input_values();
  const OHLCV& bar = in.back();
  const auto previous = _previous_output();
  if (input_count() == 1 || !previous) return bar.volume;
  const double previous_close = in.back(1).close;
  if (bar.close > previous_close) return *previous + bar.volume;
  if (bar.close < previous_close) return *previous - bar.volume;
  return *previous;
}

OBV::OBV(Params&, const IndicatorOptions& o) : OBV(o) {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(OBV)

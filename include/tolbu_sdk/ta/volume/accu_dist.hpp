#pragma once
// Accumulation/Distribution line (Chaikin): the running total of volume weighted by where the
// close sits in the bar's range, ((C - L) - (H - C)) / (H - L). A bar without range adds 0.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

// The money-flow volume of one bar.
inline double money_flow_volume(const OHLCV& bar) {
  const double range = bar.high - bar.low;
  if (range == 0.0) return 0.0;
  return ((bar.close - bar.low) - (bar.high - bar.close)) / range * bar.volume;
}

// Accumulation/Distribution line: the running total of volume weighted by the close's place.
class TOLBU_API AccuDist : public Indicator<OHLCV, double> {
 public:
  // Has no parameter: a running total from the first bar.
  explicit AccuDist(const IndicatorOptions& options = {});
  AccuDist(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;
};

}  // namespace tolbu_sdk::ta

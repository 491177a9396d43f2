#pragma once
// Commodity Channel Index (Lambert): how far the typical price (high + low + close) / 3 lies
// from its mean over `period` bars, in units of 0.015 times the mean absolute deviation. A
// window of equal typical prices repeats the previous value.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"

namespace tolbu_sdk::ta {

// Commodity Channel Index: the typical price's distance from its mean, in mean deviations.
class TOLBU_API CCI : public PeriodIndicator<OHLCV, double> {
 public:
  // Over `period` bars; ValueError for a period below 1.
  explicit CCI(int period, const IndicatorOptions& options = {});
  CCI(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  support::RollingSum typical_;
};

}  // namespace tolbu_sdk::ta

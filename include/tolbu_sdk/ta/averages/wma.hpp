#pragma once
// Weighted moving average: linear weights, `period` for the newest input down to 1.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_weighted_sum.hpp"

namespace tolbu_sdk::ta {

// Weighted moving average: linear weights from `period` for the newest input down to 1.
class TOLBU_API WMA : public PeriodIndicator<double, double> {
 public:
  // ValueError for a `period` below 1.
  explicit WMA(int period, const IndicatorOptions& options = {});
  WMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  support::RollingWeightedSum sum_;
};

}  // namespace tolbu_sdk::ta

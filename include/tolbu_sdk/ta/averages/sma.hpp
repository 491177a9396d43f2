#pragma once
// Simple moving average: the mean of the newest `period` inputs.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"

namespace tolbu_sdk::ta {

// Simple moving average: the mean of the newest `period` inputs.
class TOLBU_API SMA : public PeriodIndicator<double, double> {
 public:
  // ValueError for a `period` below 1.
  explicit SMA(int period, const IndicatorOptions& options = {});
  SMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  support::RollingSum sum_;
};

}  // namespace tolbu_sdk::ta

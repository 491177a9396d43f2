#pragma once
// Smoothed moving average (Wilder's smoothing): seeded with the simple average of the first
// `period` inputs, then (previous * (period - 1) + input) / period.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

// Smoothed moving average (Wilder's): (previous * (period - 1) + input) / period.
class TOLBU_API SMMA : public PeriodIndicator<double, double> {
 public:
  // Seeded with the mean of the first `period` inputs; ValueError for a period below 1.
  explicit SMMA(int period, const IndicatorOptions& options = {});
  SMMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;
};

}  // namespace tolbu_sdk::ta

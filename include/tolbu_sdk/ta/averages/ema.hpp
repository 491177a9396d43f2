#pragma once
// Exponential moving average with smoothing 2 / (period + 1), seeded with the simple average
// of the first `period` inputs.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

// Exponential moving average over `period` inputs, seeded with their simple average.
class TOLBU_API EMA : public PeriodIndicator<double, double> {
 public:
  // Smoothing 2 / (period + 1); ValueError for a period below 1.
  explicit EMA(int period, const IndicatorOptions& options = {});
  EMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  double alpha_;
};

}  // namespace tolbu_sdk::ta

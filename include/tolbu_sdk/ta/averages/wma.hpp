#pragma once
// Weighted moving average: linear weights, `period` for the newest input down to 1.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_weighted_sum.hpp"

namespace tolbu_sdk::ta {

class TOLBU_API WMA : public Indicator<double, double> {
 public:
  explicit WMA(int period, const IndicatorOptions& options = {});
  WMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  int period() const { return period_; }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  int period_;
  support::RollingWeightedSum sum_;
};

}  // namespace tolbu_sdk::ta

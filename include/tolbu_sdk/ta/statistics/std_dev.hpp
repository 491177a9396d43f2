#pragma once
// Standard deviation of the newest `period` inputs (population: divides by period).

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_moments.hpp"

namespace tolbu_sdk::ta {

// Population standard deviation of the newest `period` inputs.
class TOLBU_API StdDev : public PeriodIndicator<double, double> {
 public:
  // ValueError for a period below 1.
  explicit StdDev(int period, const IndicatorOptions& options = {});
  StdDev(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  support::RollingMoments moments_;
};

}  // namespace tolbu_sdk::ta

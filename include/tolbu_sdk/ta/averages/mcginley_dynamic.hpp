#pragma once
// McGinley Dynamic: seeded with the simple average of the first `period` inputs, then
// previous + (input - previous) / (period * (input / previous)^4), an average that speeds up
// when the price runs away from it.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

// McGinley Dynamic: an average that speeds up when the price runs away from it.
class TOLBU_API McGinleyDynamic : public PeriodIndicator<double, double> {
 public:
  // Seeded with the mean of the first `period` inputs; ValueError for a period below 1.
  explicit McGinleyDynamic(int period, const IndicatorOptions& options = {});
  McGinleyDynamic(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;
};

}  // namespace tolbu_sdk::ta

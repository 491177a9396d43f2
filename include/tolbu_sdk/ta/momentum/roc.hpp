#pragma once
// Rate of Change: the per-cent change of the input over `period` inputs. Absent while there is
// no input `period` places back, and where that input is zero (no rate exists).

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

// Rate of Change: the per-cent change of the input over `period` inputs.
class TOLBU_API ROC : public PeriodIndicator<double, double> {
 public:
  // ValueError for a `period` below 1.
  explicit ROC(int period, const IndicatorOptions& options = {});
  ROC(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;
};

}  // namespace tolbu_sdk::ta

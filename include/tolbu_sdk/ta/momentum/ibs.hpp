#pragma once
// Internal Bar Strength: (close - low) / (high - low), where the bar closed within its range
// (0 at the low, 1 at the high). A bar without range repeats the previous value.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

// Internal Bar Strength: (C - L) / (H - L), 0 for a close at the low, 1 at the high.
class TOLBU_API IBS : public Indicator<OHLCV, double> {
 public:
  // Has no parameter: each output depends on its bar alone (or repeats the previous one).
  explicit IBS(const IndicatorOptions& options = {});
  IBS(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;
};

}  // namespace tolbu_sdk::ta

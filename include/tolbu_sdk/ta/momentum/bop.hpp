#pragma once
// Balance of Power: (close - open) / (high - low), how far buyers moved the bar within its
// range. A bar without range carries no information and repeats the previous value.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

// Balance of Power: (C - O) / (H - L), how far buyers moved the bar within its range.
class TOLBU_API BOP : public Indicator<OHLCV, double> {
 public:
  // Has no parameter: each output depends on its bar alone (or repeats the previous one).
  explicit BOP(const IndicatorOptions& options = {});
  BOP(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;
};

}  // namespace tolbu_sdk::ta

#pragma once
// On-Balance Volume (Granville): the running total of volume, added on an up close, taken off
// on a down close, left out on an unchanged one. It starts at the first bar's volume.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

// On-Balance Volume: volume added on up closes and taken off on down closes.
class TOLBU_API OBV : public Indicator<OHLCV, double> {
 public:
  // Has no parameter: a running total from the first bar's volume.
  explicit OBV(const IndicatorOptions& options = {});
  OBV(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;
};

}  // namespace tolbu_sdk::ta

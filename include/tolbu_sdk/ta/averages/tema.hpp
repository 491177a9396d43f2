#pragma once
// Triple exponential moving average (Mulloy): 3 * EMA - 3 * EMA(EMA) + EMA(EMA(EMA)).

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/triple_exponential_average.hpp"

namespace tolbu_sdk::ta {

// Triple exponential moving average, 3 * EMA - 3 * EMA(EMA) + EMA(EMA(EMA)).
class TOLBU_API TEMA : public PeriodIndicator<double, double> {
 public:
  // All three EMAs over `period` inputs; ValueError for a period below 1.
  explicit TEMA(int period, const IndicatorOptions& options = {});
  TEMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  support::TripleExponentialAverage ema_;
};

}  // namespace tolbu_sdk::ta

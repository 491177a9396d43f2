#pragma once
// Double exponential moving average (Mulloy): 2 * EMA - EMA(EMA).

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/exponential_average.hpp"

namespace tolbu_sdk::ta {

// Double exponential moving average, 2 * EMA - EMA(EMA): an EMA with less lag.
class TOLBU_API DEMA : public PeriodIndicator<double, double> {
 public:
  // Both EMAs over `period` inputs; ValueError for a period below 1.
  explicit DEMA(int period, const IndicatorOptions& options = {});
  DEMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  support::ExponentialAverage ema_;
  support::ExponentialAverage ema_ema_;
};

}  // namespace tolbu_sdk::ta

#pragma once
// Zero-lag EMA (Ehlers): an EMA of 2 * input - input `lag` places back, which takes the
// trend's lag out of the average; lag = (period - 1) / 2, a half rounded to even.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/exponential_average.hpp"

namespace tolbu_sdk::ta {

// Zero-lag EMA: an EMA of 2 * input - input (period - 1) / 2 places back.
class TOLBU_API ZLEMA : public PeriodIndicator<double, double> {
 public:
  // The EMA over `period` inputs; ValueError for a period below 1.
  explicit ZLEMA(int period, const IndicatorOptions& options = {});
  ZLEMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  std::size_t lag_;
  support::ExponentialAverage ema_;
};

}  // namespace tolbu_sdk::ta

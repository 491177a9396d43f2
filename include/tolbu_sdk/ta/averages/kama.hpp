#pragma once
// Kaufman's adaptive moving average: an EMA whose smoothing follows the efficiency ratio
// (net change over `period` / sum of the absolute one-step changes), between the constants of
// EMAs over fast_ema_constant_period and slow_ema_constant_period. Seeded with the previous
// input.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"

namespace tolbu_sdk::ta {

// Kaufman's adaptive moving average: fast in a trend, slow in noise.
class TOLBU_API KAMA : public PeriodIndicator<double, double> {
 public:
  // Efficiency measured over `period` inputs; smoothing between the constants of EMAs over
  // `fast_ema_constant_period` and `slow_ema_constant_period`. ValueError for any period below 1.
  KAMA(int period, int fast_ema_constant_period, int slow_ema_constant_period,
       const IndicatorOptions& options = {});
  KAMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  double fast_;
  double slow_;
  support::RollingSum volatility_;  // sum of |x - previous x|
};

}  // namespace tolbu_sdk::ta

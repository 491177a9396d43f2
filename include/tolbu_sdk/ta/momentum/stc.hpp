#pragma once
// Schaff Trend Cycle: the MACD line (EMA over `fast_macd_period` minus EMA over
// `slow_macd_period`) put through the stochastic twice. Each pass takes %K over `stoch_period`
// values and smooths it with a moving average over `stoch_smoothing_period`; the second pass
// starts once the first has `stoch_period` values of %K, on the smoothed values it has so far.
// A window without range counts as the top of the cycle (100).

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"
#include "tolbu_sdk/ta/support/momentum_stochastic.hpp"

namespace tolbu_sdk::ta {

// Schaff Trend Cycle: the MACD line put through a smoothed stochastic twice, 0 to 100.
class TOLBU_API STC : public Indicator<double, double> {
 public:
  // EMAs over `fast_macd_period` and `slow_macd_period`, %K over `stoch_period` smoothed by
  // averages of kind `stoch_ma_type` over `stoch_smoothing_period`; ValueError for a period
  // below 1.
  STC(int fast_macd_period, int slow_macd_period, int stoch_period, int stoch_smoothing_period,
      MAType stoch_ma_type = MAType::SMA, const IndicatorOptions& options = {});
  STC(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  std::size_t stoch_period_;
  support::MomentumAverage fast_;
  support::MomentumAverage slow_;
  support::MomentumStochastic first_;
  support::MomentumAverage first_smoothing_;
  support::MomentumStochastic second_;
  support::MomentumAverage second_smoothing_;
};

}  // namespace tolbu_sdk::ta

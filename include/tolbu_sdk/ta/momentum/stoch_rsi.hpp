#pragma once
// Stochastic RSI (Chande, Kroll): the stochastic %K of the RSI over `stoch_period` values,
// smoothed by a moving average over `k_smoothing_period` (k), and k smoothed again over
// `d_smoothing_period` (d). A window of equal RSI values repeats the previous %K.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"
#include "tolbu_sdk/ta/support/momentum_stochastic.hpp"
#include "tolbu_sdk/ta/support/relative_strength.hpp"

namespace tolbu_sdk::ta {

// One output of StochRSI; absent fields are still warming up.
struct TOLBU_API StochRSIValue {
  // The smoothed stochastic %K of the RSI, 0 to 100.
  std::optional<double> k;
  // `k` smoothed again.
  std::optional<double> d;

  // Field by field; absent equals absent.
  bool operator==(const StochRSIValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"k", k}, {"d", d}}; }
};

// Stochastic RSI: the stochastic of the RSI, smoothed into k and d.
class TOLBU_API StochRSI : public Indicator<double, StochRSIValue> {
 public:
  // RSI over `rsi_period`, %K over `stoch_period` RSI values, averages of kind `ma_type` over
  // `k_smoothing_period` (k) and `d_smoothing_period` (d); ValueError for a period below 1.
  StochRSI(int rsi_period, int stoch_period, int k_smoothing_period, int d_smoothing_period,
           MAType ma_type = MAType::SMA, const IndicatorOptions& options = {});
  StochRSI(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<StochRSIValue> _calculate_new_value() override;

 private:
  support::RelativeStrength rsi_;
  support::MomentumStochastic stoch_;
  support::MomentumAverage k_;
  support::MomentumAverage d_;
};

}  // namespace tolbu_sdk::ta

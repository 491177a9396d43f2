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

struct TOLBU_API StochRSIValue {
  std::optional<double> k;
  std::optional<double> d;

  bool operator==(const StochRSIValue&) const = default;
  Record fields() const { return {{"k", k}, {"d", d}}; }
};

class TOLBU_API StochRSI : public Indicator<double, StochRSIValue> {
 public:
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

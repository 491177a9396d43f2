#pragma once
// Stochastic Oscillator (Lane): %K, where the close sits in the range of the newest `period`
// bars (0 to 100), and %D, a moving average of %K over `smoothing_period`. A window without
// range repeats the previous %K.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"
#include "tolbu_sdk/ta/support/rolling_extremum.hpp"

namespace tolbu_sdk::ta {

struct TOLBU_API StochValue {
  std::optional<double> k;
  std::optional<double> d;

  bool operator==(const StochValue&) const = default;
  Record fields() const { return {{"k", k}, {"d", d}}; }
};

class TOLBU_API Stoch : public PeriodIndicator<OHLCV, StochValue> {
 public:
  Stoch(int period, int smoothing_period, MAType ma_type = MAType::SMA,
        const IndicatorOptions& options = {});
  Stoch(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  int smoothing_period() const { return smoothing_period_; }

 protected:
  std::optional<StochValue> _calculate_new_value() override;

 private:
  int smoothing_period_;
  support::RollingMax high_;
  support::RollingMin low_;
  support::MomentumAverage d_;
};

}  // namespace tolbu_sdk::ta

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

// One output of Stoch; absent fields are still warming up.
struct TOLBU_API StochValue {
  // %K: where the close sits in the window's range, 0 to 100.
  std::optional<double> k;
  // %D: a moving average of %K.
  std::optional<double> d;

  // Field by field; absent equals absent.
  bool operator==(const StochValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"k", k}, {"d", d}}; }
};

// Stochastic Oscillator: %K, the close's place in the recent range, and its average %D.
class TOLBU_API Stoch : public PeriodIndicator<OHLCV, StochValue> {
 public:
  // %K over `period` bars, %D an average of kind `ma_type` over `smoothing_period` values;
  // ValueError for a period below 1.
  Stoch(int period, int smoothing_period, MAType ma_type = MAType::SMA,
        const IndicatorOptions& options = {});
  Stoch(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  // %K values in the %D average.
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

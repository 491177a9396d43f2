#pragma once
// TTM Squeeze (Carter). The squeeze is on while the Bollinger Bands (a moving average of the
// close, SMA by default, +/- bb_std_dev_mult population deviations) lie inside the Keltner
// Channels (EMA of the close +/- kc_atr_mult ATRs), all over `period` bars. The histogram is
// the momentum: the least-squares line over `period` values of close - (midpoint of the
// highest high and lowest low + the average) / 2, taken at the newest.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"
#include "tolbu_sdk/ta/support/rolling_moments.hpp"
#include "tolbu_sdk/ta/support/rolling_range.hpp"
#include "tolbu_sdk/ta/support/rolling_regression.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"
#include "tolbu_sdk/ta/support/wilder_average.hpp"
#include "tolbu_sdk/ta/volatility/atr.hpp"

namespace tolbu_sdk::ta {

// One output of TTM; absent fields are still warming up.
struct TOLBU_API TTMValue {
  // Whether the Bollinger Bands lie inside the Keltner Channels.
  std::optional<bool> squeeze;
  // The momentum: the least-squares value of the detrended close.
  std::optional<double> histogram;

  // Field by field; absent equals absent.
  bool operator==(const TTMValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"squeeze", squeeze}, {"histogram", histogram}}; }
};

// TTM Squeeze: Bollinger Bands inside Keltner Channels, and a momentum histogram.
class TOLBU_API TTM : public Indicator<OHLCV, TTMValue> {
 public:
  // Everything over `period` bars: bands `bb_std_dev_mult` deviations around an average of kind
  // `ma_type`, channels `kc_atr_mult` ATRs around an EMA; ValueError for a period below 1.
  explicit TTM(int period, double bb_std_dev_mult = 2.0, double kc_atr_mult = 1.5,
               MAType ma_type = MAType::SMA, const IndicatorOptions& options = {});
  TTM(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<TTMValue> _calculate_new_value() override;

 private:
  // The bands and channels from blocks, with the arithmetic of BB and KeltnerChannels but
  // without two more indicators (and their averages) to keep histories for.
  double bb_mult_;
  double kc_mult_;
  support::MomentumAverage bb_average_;
  support::RollingMoments bb_moments_;
  support::MomentumAverage kc_average_;  // an EMA, as KeltnerChannels uses by default
  support::WilderAverage atr_;           // of the true range: the ATR
  support::RollingRange range_;          // highest high and lowest low
  support::RollingRegression momentum_;  // 0 until the average warms up
  support::RollingSum present_;          // 1 for each real momentum value
};

}  // namespace tolbu_sdk::ta

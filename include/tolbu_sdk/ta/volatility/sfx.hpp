#pragma once
// SFX volatility filter: the Average True Range next to the standard deviation of the close
// and a moving average of that deviation. ATR above the smoothed deviation marks a trending,
// tradable market. Every input gets a record; its fields stay absent while each part warms up.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"
#include "tolbu_sdk/ta/support/rolling_moments.hpp"
#include "tolbu_sdk/ta/support/wilder_average.hpp"
#include "tolbu_sdk/ta/volatility/atr.hpp"

namespace tolbu_sdk::ta {

// One output of SFX; each field is absent while its part warms up.
struct TOLBU_API SFXValue {
  // Average True Range.
  std::optional<double> atr;
  // Standard deviation of the close.
  std::optional<double> std_dev;
  // A moving average of `std_dev`.
  std::optional<double> ma_std_dev;

  // Field by field; absent equals absent.
  bool operator==(const SFXValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"atr", atr}, {"std_dev", std_dev}, {"ma_std_dev", ma_std_dev}}; }
};

// SFX volatility filter: the ATR against the smoothed standard deviation of the close.
class TOLBU_API SFX : public Indicator<OHLCV, SFXValue> {
 public:
  // ATR over `atr_period` bars, deviation over `std_dev_period`, smoothed by an average of kind
  // `ma_type` over `std_dev_smoothing_period`; ValueError for a period below 1.
  SFX(int atr_period, int std_dev_period, int std_dev_smoothing_period,
      MAType ma_type = MAType::SMA, const IndicatorOptions& options = {});
  SFX(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<SFXValue> _calculate_new_value() override;

 private:
  support::WilderAverage atr_;     // of the true range
  support::RollingMoments close_;  // population deviation
  support::MomentumAverage ma_std_dev_;
};

}  // namespace tolbu_sdk::ta

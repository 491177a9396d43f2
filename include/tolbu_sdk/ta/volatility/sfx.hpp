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

struct TOLBU_API SFXValue {
  std::optional<double> atr;
  std::optional<double> std_dev;
  std::optional<double> ma_std_dev;

  bool operator==(const SFXValue&) const = default;
  Record fields() const { return {{"atr", atr}, {"std_dev", std_dev}, {"ma_std_dev", ma_std_dev}}; }
};

class TOLBU_API SFX : public Indicator<OHLCV, SFXValue> {
 public:
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

#pragma once
// SuperTrend: bands `mult` ATRs above and below the bar's midpoint (high + low) / 2. The
// upper band only falls and the lower only rises while the close stays inside them; the line
// follows the lower band in an up trend and the upper band in a down trend, switching when
// the close crosses the band it follows.
//
// The first value (the bar where the ATR becomes available) is 0 with trend UP, and the line
// starts on the upper band from the next bar: this is how the reference values begin.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/state_history.hpp"
#include "tolbu_sdk/ta/volatility/atr.hpp"

namespace tolbu_sdk::ta {

// One output of SuperTrend; absent fields are still warming up.
struct TOLBU_API SuperTrendValue {
  // The line: the lower band in an up trend, the upper band in a down trend.
  std::optional<double> value;
  // The direction of the trend the line follows.
  std::optional<Trend> trend;

  // Field by field; absent equals absent.
  bool operator==(const SuperTrendValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"value", value}, {"trend", trend}}; }
};

// SuperTrend: an ATR band trailing stop that flips when the close crosses it.
class TOLBU_API SuperTrend : public Indicator<OHLCV, SuperTrendValue> {
 public:
  // ATR over `atr_period` bars (ValueError below 1), bands `mult` ATRs from the bar's midpoint.
  SuperTrend(int atr_period, double mult, const IndicatorOptions& options = {});
  SuperTrend(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<SuperTrendValue> _calculate_new_value() override;

 private:
  struct Bands {
    bool ready = false;  // false while the ATR warms up
    double upper = 0.0;
    double lower = 0.0;
    double line = 0.0;
  };

  double mult_;
  ATR atr_;
  support::StateHistory<Bands> bands_;
};

}  // namespace tolbu_sdk::ta

#pragma once
// Chande Kroll Stop: preliminary stops at the highest high less, and the lowest low plus,
// `atr_mult` ATRs over `atr_period` bars; the short stop is the highest preliminary high stop
// and the long stop the lowest preliminary low stop of the newest `period` bars.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_range.hpp"
#include "tolbu_sdk/ta/support/wilder_average.hpp"
#include "tolbu_sdk/ta/volatility/atr.hpp"

namespace tolbu_sdk::ta {

// One output of ChandeKrollStop; absent fields are still warming up.
struct TOLBU_API ChandeKrollStopValue {
  // The stop for a short position: the highest preliminary high stop.
  std::optional<double> short_stop;
  // The stop for a long position: the lowest preliminary low stop.
  std::optional<double> long_stop;

  // Field by field; absent equals absent.
  bool operator==(const ChandeKrollStopValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"short_stop", short_stop}, {"long_stop", long_stop}}; }
};

// Chande Kroll Stop: ATR-based stops for long and short positions.
class TOLBU_API ChandeKrollStop : public Indicator<OHLCV, ChandeKrollStopValue> {
 public:
  // Preliminary stops `atr_mult` ATRs (over `atr_period` bars) from the extremes, the stops
  // their extremes over `period` bars; ValueError for a period below 1.
  ChandeKrollStop(int atr_period, double atr_mult, int period,
                  const IndicatorOptions& options = {});
  ChandeKrollStop(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<ChandeKrollStopValue> _calculate_new_value() override;

 private:
  std::size_t atr_period_;
  double atr_mult_;
  std::size_t period_;
  support::WilderAverage atr_;   // of the true range: the ATR
  support::RollingRange range_;  // highest high and lowest low
  // Highest high stop and lowest low stop; -inf and +inf until the ATR warms up.
  support::RollingRange stops_;
};

}  // namespace tolbu_sdk::ta

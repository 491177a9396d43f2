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

struct TOLBU_API ChandeKrollStopValue {
  std::optional<double> short_stop;
  std::optional<double> long_stop;

  bool operator==(const ChandeKrollStopValue&) const = default;
  Record fields() const { return {{"short_stop", short_stop}, {"long_stop", long_stop}}; }
};

class TOLBU_API ChandeKrollStop : public Indicator<OHLCV, ChandeKrollStopValue> {
 public:
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

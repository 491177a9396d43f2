#pragma once
// Rogers-Satchell volatility: the square root of the mean, over the newest `period` bars, of
// ln(H/C) ln(H/O) + ln(L/C) ln(L/O). Drift-independent; needs positive prices.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"

namespace tolbu_sdk::ta {

// Rogers-Satchell volatility over `period` bars, independent of the drift.
class TOLBU_API RogersSatchell : public PeriodIndicator<OHLCV, double> {
 public:
  // ValueError for a period below 1. A bar with a price not above 0 is refused with ValueError.
  explicit RogersSatchell(int period, const IndicatorOptions& options = {});
  RogersSatchell(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  // ValueError for a bar with a price at or below zero.
  std::optional<double> _calculate_new_value() override;

 private:
  support::RollingSum terms_;
};

}  // namespace tolbu_sdk::ta

#pragma once
// Choppiness Index (Dreiss): 100 * log10(sum of true ranges / (highest high - lowest low)) /
// log10(period) over the newest `period` bars. High values mean a sideways market.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_extremum.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"

namespace tolbu_sdk::ta {

// Choppiness Index over `period` bars: near 100 sideways, near 0 trending.
class TOLBU_API CHOP : public PeriodIndicator<OHLCV, double> {
 public:
  // period must be at least 2 (log10(1) is 0).
  // ValueError for a `period` below 2 (log10(1) would divide by zero).
  explicit CHOP(int period, const IndicatorOptions& options = {});
  CHOP(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  double log_period_;
  support::RollingSum true_range_;
  support::RollingMax high_;
  support::RollingMin low_;
};

}  // namespace tolbu_sdk::ta

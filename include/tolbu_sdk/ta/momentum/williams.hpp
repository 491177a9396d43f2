#pragma once
// Williams %R: where the close sits in the range of the newest `period` bars, from 0 at the
// highest high down to -100 at the lowest low. A window without range repeats the previous
// value.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_extremum.hpp"

namespace tolbu_sdk::ta {

// Williams %R: the close's place in the recent range, 0 at the highest high, -100 at the lowest.
class TOLBU_API Williams : public PeriodIndicator<OHLCV, double> {
 public:
  // Over `period` bars; ValueError for a period below 1.
  explicit Williams(int period, const IndicatorOptions& options = {});
  Williams(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  support::RollingMax high_;
  support::RollingMin low_;
};

}  // namespace tolbu_sdk::ta

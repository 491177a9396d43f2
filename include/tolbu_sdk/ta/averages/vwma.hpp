#pragma once
// Volume-weighted moving average of the closes over `period` bars.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"

namespace tolbu_sdk::ta {

// Volume-weighted moving average of the closes of the newest `period` bars.
class TOLBU_API VWMA : public PeriodIndicator<OHLCV, double> {
 public:
  // ValueError for a `period` below 1.
  explicit VWMA(int period, const IndicatorOptions& options = {});
  VWMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  support::RollingSum price_volume_;
  support::RollingSum volume_;
};

}  // namespace tolbu_sdk::ta

#pragma once
// Detrended Price Oscillator: the input of period / 2 + 1 places back minus the moving average
// of the newest `period` inputs, which takes the trend out and leaves the cycles.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"

namespace tolbu_sdk::ta {

// Detrended Price Oscillator: a past input minus the moving average, leaving the cycles.
class TOLBU_API DPO : public PeriodIndicator<double, double> {
 public:
  // An average of kind `ma_type` over `period` inputs, against the input period / 2 + 1 places
  // back; ValueError for a period below 1.
  explicit DPO(int period, MAType ma_type = MAType::SMA, const IndicatorOptions& options = {});
  DPO(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  std::size_t lag_;
  support::MomentumAverage ma_;
};

}  // namespace tolbu_sdk::ta

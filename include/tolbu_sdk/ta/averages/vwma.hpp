#pragma once
// Volume-weighted moving average of the closes over `period` bars.

#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"

namespace tolbu_sdk::ta {

class VWMA : public Indicator<OHLCV, double> {
 public:
  explicit VWMA(int period, const IndicatorOptions& options = {});
  VWMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  int period() const { return _period; }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  int _period;
  support::RollingSum _price_volume;
  support::RollingSum _volume;
};

}  // namespace tolbu_sdk::ta

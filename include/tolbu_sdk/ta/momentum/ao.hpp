#pragma once
// Awesome Oscillator (Williams): a fast minus a slow moving average of the median price
// (high + low) / 2. Takes whole bars.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"

namespace tolbu_sdk::ta {

class TOLBU_API AO : public Indicator<OHLCV, double> {
 public:
  AO(int fast_period, int slow_period, MAType ma_type = MAType::SMA,
     const IndicatorOptions& options = {});
  AO(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  int fast_period() const { return fast_.period(); }
  int slow_period() const { return slow_.period(); }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  support::MomentumAverage fast_;
  support::MomentumAverage slow_;
};

}  // namespace tolbu_sdk::ta

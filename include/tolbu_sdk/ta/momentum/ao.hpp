#pragma once
// Awesome Oscillator (Williams): a fast minus a slow moving average of the median price
// (high + low) / 2. Takes whole bars.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"

namespace tolbu_sdk::ta {

// Awesome Oscillator: fast minus slow moving average of the bars' median price (H + L) / 2.
class TOLBU_API AO : public Indicator<OHLCV, double> {
 public:
  // Moving averages of kind `ma_type` over `fast_period` and `slow_period` bars; ValueError for
  // a period below 1.
  AO(int fast_period, int slow_period, MAType ma_type = MAType::SMA,
     const IndicatorOptions& options = {});
  AO(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  // Bars in the fast average.
  int fast_period() const { return fast_.period(); }
  // Bars in the slow average.
  int slow_period() const { return slow_.period(); }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  support::MomentumAverage fast_;
  support::MomentumAverage slow_;
};

}  // namespace tolbu_sdk::ta

#pragma once
// Ultimate Oscillator (Williams): buying pressure (close - min(low, previous close)) over
// true range, summed over three windows and weighted 4 : 2 : 1 from the shortest, in per
// cent. Needs one bar before the longest window; a window without range repeats the previous
// value.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"
#include "tolbu_sdk/ta/support/state_history.hpp"

namespace tolbu_sdk::ta {

// Ultimate Oscillator: buying pressure over true range in three windows, weighted 4 : 2 : 1.
class TOLBU_API UO : public Indicator<OHLCV, double> {
 public:
  // Windows of `fast_period`, `mid_period` and `slow_period` bars; ValueError for a period below 1.
  UO(int fast_period, int mid_period, int slow_period, const IndicatorOptions& options = {});
  UO(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  // Bars in the shortest window (weight 4).
  int fast_period() const { return fast_period_; }
  // Bars in the middle window (weight 2).
  int mid_period() const { return mid_period_; }
  // Bars in the longest window (weight 1).
  int slow_period() const { return slow_period_; }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  int fast_period_;
  int mid_period_;
  int slow_period_;
  std::size_t warm_up_;
  support::RollingSum fast_pressure_, mid_pressure_, slow_pressure_;
  support::RollingSum fast_range_, mid_range_, slow_range_;
  // Bars in a row without true range: a window is flat when it holds no others. Running sums
  // of zeros may keep rounding residue, so they cannot tell.
  support::StateHistory<std::size_t> still_;
};

}  // namespace tolbu_sdk::ta

#pragma once
// Ultimate Oscillator (Williams): buying pressure (close - min(low, previous close)) over
// true range, summed over three windows and weighted 4 : 2 : 1 from the shortest, in per
// cent. Needs one bar before the longest window; a window without range repeats the previous
// value.

#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"
#include "tolbu_sdk/ta/support/state_history.hpp"

namespace tolbu_sdk::ta {

class UO : public Indicator<OHLCV, double> {
 public:
  UO(int fast_period, int mid_period, int slow_period, const IndicatorOptions& options = {});
  UO(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  int fast_period() const { return _fast_period; }
  int mid_period() const { return _mid_period; }
  int slow_period() const { return _slow_period; }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  int _fast_period;
  int _mid_period;
  int _slow_period;
  std::size_t _warm_up;
  support::RollingSum _fast_pressure, _mid_pressure, _slow_pressure;
  support::RollingSum _fast_range, _mid_range, _slow_range;
  // Bars in a row without true range: a window is flat when it holds no others. Running sums
  // of zeros may keep rounding residue, so they cannot tell.
  support::StateHistory<std::size_t> _still;
};

}  // namespace tolbu_sdk::ta

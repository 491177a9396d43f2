#pragma once
// True Strength Index (Blau): the change between inputs, smoothed twice (over `slow_period`,
// then `fast_period`), as a per-cent share of the same double smoothing of its absolute value.
// Inputs that never change repeat the previous value.

#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"

namespace tolbu_sdk::ta {

class TSI : public Indicator<double, double> {
 public:
  TSI(int fast_period, int slow_period, MAType ma_type = MAType::EMA,
      const IndicatorOptions& options = {});
  TSI(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  int fast_period() const { return _fast_period; }
  int slow_period() const { return _slow_period; }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  int _fast_period;
  int _slow_period;
  support::MomentumAverage _slow;      // of the change
  support::MomentumAverage _fast;      // of the smoothed change
  support::MomentumAverage _abs_slow;  // of the absolute change
  support::MomentumAverage _abs_fast;
};

}  // namespace tolbu_sdk::ta

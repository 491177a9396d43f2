#pragma once
// True Strength Index (Blau): the change between inputs, smoothed twice (over `slow_period`,
// then `fast_period`), as a per-cent share of the same double smoothing of its absolute value.
// Inputs that never change repeat the previous value.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"

namespace tolbu_sdk::ta {

// True Strength Index: the doubly smoothed change as a per-cent share of its absolute value.
class TOLBU_API TSI : public Indicator<double, double> {
 public:
  // Averages of kind `ma_type` over `slow_period`, then `fast_period`; ValueError for a period
  // below 1.
  TSI(int fast_period, int slow_period, MAType ma_type = MAType::EMA,
      const IndicatorOptions& options = {});
  TSI(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  // Values in the second (fast) smoothing.
  int fast_period() const { return fast_.period(); }
  // Values in the first (slow) smoothing.
  int slow_period() const { return slow_.period(); }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  support::MomentumAverage fast_;      // of the smoothed change
  support::MomentumAverage slow_;      // of the change
  support::MomentumAverage abs_slow_;  // of the absolute change
  support::MomentumAverage abs_fast_;
};

}  // namespace tolbu_sdk::ta

#pragma once
// True Strength Index (Blau): the change between inputs, smoothed twice (over `slow_period`,
// then `fast_period`), as a per-cent share of the same double smoothing of its absolute value.
// Inputs that never change repeat the previous value.

#include <memory>

#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"

namespace tolbu_sdk::ta {

class TSI : public Indicator<double, double> {
 public:
  TSI(int fast_period, int slow_period, MAType ma_type = MAType::EMA,
      const IndicatorOptions& options = {});
  int fast_period() const { return _fast_period; }
  int slow_period() const { return _slow_period; }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  int _fast_period;
  int _slow_period;
  std::unique_ptr<Indicator<double, double>> _slow;      // of the change
  std::unique_ptr<Indicator<double, double>> _fast;      // of the smoothed change
  std::unique_ptr<Indicator<double, double>> _abs_slow;  // of the absolute change
  std::unique_ptr<Indicator<double, double>> _abs_fast;
};

}  // namespace tolbu_sdk::ta

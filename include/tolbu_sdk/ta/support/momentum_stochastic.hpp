#pragma once
// The stochastic %K of a series of numbers: where the newest value sits between the lowest and
// the highest of the newest `period` values, from 0 to 100. Used inside StochRSI and STC, which
// differ in when the first value comes and in what a window without range gives.

#include <optional>

#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_extremum.hpp"

namespace tolbu_sdk::ta::support {

class MomentumStochastic final : public Indicator<double, double> {
 public:
  // The first value comes with the `min_count`-th input (a partial window before `period`);
  // a window without range gives `flat`, or repeats the previous value when that is absent.
  MomentumStochastic(std::size_t period, std::size_t min_count, std::optional<double> flat)
      : Indicator(IndicatorOptions{}),
        _min_count(min_count),
        _flat(flat),
        _high(period),
        _low(period) {
    _manage(_high);
    _manage(_low);
  }

 protected:
  std::optional<double> _calculate_new_value() override {
    const double x = input_values().back();
    _high.push(x);
    _low.push(x);
    if (input_count() < _min_count) return std::nullopt;
    const double ll = _low.value();
    const double range = _high.value() - ll;
    if (range == 0.0) return _flat ? _flat : _previous_output();
    return (x - ll) / range * 100.0;
  }

 private:
  std::size_t _min_count;
  std::optional<double> _flat;
  RollingMax _high;
  RollingMin _low;
};

}  // namespace tolbu_sdk::ta::support

#pragma once
// Hull moving average: a WMA over sqrt(period) of 2 * WMA(period / 2) - WMA(period); its
// first value comes once period + sqrt(period) inputs have been seen.

#include "tolbu_sdk/ta/averages/wma.hpp"

namespace tolbu_sdk::ta {

class HMA : public Indicator<double, double> {
 public:
  explicit HMA(int period, const IndicatorOptions& options = {});
  int period() const { return _period; }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  int _period;
  std::size_t _sqrt_period;
  WMA _full;
  WMA _half;
  WMA _hull;
};

}  // namespace tolbu_sdk::ta

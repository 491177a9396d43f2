#pragma once
// Hull moving average: a WMA over sqrt(period) of 2 * WMA(period / 2) - WMA(period); its
// first value comes with input period + 2 * sqrt(period) - 2 (sqrt rounded down, at least 1).

#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_weighted_sum.hpp"

namespace tolbu_sdk::ta {

class HMA : public Indicator<double, double> {
 public:
  explicit HMA(int period, const IndicatorOptions& options = {});
  HMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  int period() const { return _period; }

 protected:
  std::optional<double> _calculate_new_value() override;
  void _on_remove() override;
  void _on_reset() override;

 private:
  int _period;
  std::size_t _sqrt_period;
  support::RollingWeightedSum _full;
  support::RollingWeightedSum _half;
  support::RollingWeightedSum _hull;  // of 2 * half - full, pushed once both exist
};

}  // namespace tolbu_sdk::ta

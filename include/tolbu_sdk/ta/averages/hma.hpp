#pragma once
// Hull moving average: a WMA over sqrt(period) of 2 * WMA(period / 2) - WMA(period); its
// first value comes with input period + 2 * sqrt(period) - 2 (sqrt rounded down, at least 1).

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_weighted_sum.hpp"

namespace tolbu_sdk::ta {

// Hull moving average: a fast, smooth average built from three WMAs.
class TOLBU_API HMA : public PeriodIndicator<double, double> {
 public:
  // WMAs over `period`, `period` / 2 and sqrt(`period`); ValueError for a period below 1.
  explicit HMA(int period, const IndicatorOptions& options = {});
  HMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

  void set_history_limit(std::size_t n) override;

 protected:
  std::optional<double> _calculate_new_value() override;
  void _on_remove() override;
  void _on_reset() override;

 private:
  std::size_t sqrt_period_;
  support::RollingWeightedSum full_;
  support::RollingWeightedSum half_;
  support::RollingWeightedSum hull_;  // of 2 * half - full, pushed once both exist
};

}  // namespace tolbu_sdk::ta

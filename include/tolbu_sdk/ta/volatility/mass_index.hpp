#pragma once
// Mass Index (Dorsey): the sum, over `ma_ratio_period` bars, of the ratio of a moving average
// of the high - low range to a moving average of that average. Range expansions push it up.

#include <memory>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"

namespace tolbu_sdk::ta {

// Mass Index: summed ratios of the smoothed range to its own average; spikes on range expansion.
class TOLBU_API MassIndex : public Indicator<OHLCV, double> {
 public:
  // Averages of kind `ma_type` over `ma_period` and `ma_ma_period`, the ratio summed over
  // `ma_ratio_period` bars; ValueError for a period below 1.
  MassIndex(int ma_period, int ma_ma_period, int ma_ratio_period, MAType ma_type = MAType::EMA,
            const IndicatorOptions& options = {});
  MassIndex(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  std::unique_ptr<Indicator<double, double>> ma_;
  std::unique_ptr<Indicator<double, double>> ma_ma_;
  support::RollingSum ratios_;   // 0 while the averages warm up
  support::RollingSum present_;  // 1 for each ratio that is real
};

}  // namespace tolbu_sdk::ta

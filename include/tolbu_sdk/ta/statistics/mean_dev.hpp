#pragma once
// Mean absolute deviation of the newest `period` inputs from their moving average. The
// deviations change with every new average, so each input costs O(period).

#include <memory>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"

namespace tolbu_sdk::ta {

// Mean absolute deviation of the newest `period` inputs from their moving average.
class TOLBU_API MeanDev : public PeriodIndicator<double, double> {
 public:
  // The average of kind `ma_type` over the same `period` inputs; ValueError for a period below 1.
  explicit MeanDev(int period, MAType ma_type = MAType::SMA, const IndicatorOptions& options = {});
  MeanDev(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  std::unique_ptr<Indicator<double, double>> ma_;
};

}  // namespace tolbu_sdk::ta

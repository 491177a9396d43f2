#pragma once
// Force Index (Elder): the change of the close times the volume, smoothed by a moving average
// (EMA by default) of `period` values. The first bar has no change and gives none.

#include <memory>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"

namespace tolbu_sdk::ta {

// Force Index: the change of the close times the volume, smoothed.
class TOLBU_API ForceIndex : public Indicator<OHLCV, double> {
 public:
  // An average of kind `ma_type` over `period` values; ValueError for a period below 1.
  explicit ForceIndex(int period, MAType ma_type = MAType::EMA,
                      const IndicatorOptions& options = {});
  ForceIndex(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  std::unique_ptr<Indicator<double, double>> ma_;
};

}  // namespace tolbu_sdk::ta

#pragma once
// Ease of Movement (Arms): the move of the bar's midpoint divided by the box ratio
// (volume / volume_div) / (high - low), smoothed by a moving average (SMA by default) of
// `period` values. A bar without range or without volume moves with no measurable ease: 0.

#include <memory>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"

namespace tolbu_sdk::ta {

// Ease of Movement: how far the price moves per unit of volume, smoothed.
class TOLBU_API EMV : public Indicator<OHLCV, double> {
 public:
  // Volume scaled down by `volume_div` (ValueError unless above 0), smoothed by an average of
  // kind `ma_type` over `period` values; ValueError for a period below 1.
  EMV(int period, double volume_div, MAType ma_type = MAType::SMA,
      const IndicatorOptions& options = {});
  EMV(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  double volume_div_;
  std::unique_ptr<Indicator<double, double>> ma_;
};

}  // namespace tolbu_sdk::ta

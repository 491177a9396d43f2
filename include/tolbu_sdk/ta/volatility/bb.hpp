#pragma once
// Bollinger Bands: a moving average of the input (cb) with bands std_dev_mult standard
// deviations (population, over the same period) below (lb) and above (ub).

#include <memory>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/rolling_moments.hpp"

namespace tolbu_sdk::ta {

// One output of BB; absent fields are still warming up.
struct TOLBU_API BBValue {
  // Lower band: `cb` less `std_dev_mult` standard deviations.
  std::optional<double> lb;
  // Centre: the moving average.
  std::optional<double> cb;
  // Upper band: `cb` plus `std_dev_mult` standard deviations.
  std::optional<double> ub;

  // Field by field; absent equals absent.
  bool operator==(const BBValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"lb", lb}, {"cb", cb}, {"ub", ub}}; }
};

// Bollinger Bands: a moving average with bands a multiple of the standard deviation away.
class TOLBU_API BB : public PeriodIndicator<double, BBValue> {
 public:
  // Average of kind `ma_type` and deviation over `period` inputs, bands `std_dev_mult` deviations
  // away; ValueError for a period below 1.
  BB(int period, double std_dev_mult, MAType ma_type = MAType::SMA,
     const IndicatorOptions& options = {});
  BB(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  // Standard deviations between the centre and each band.
  double std_dev_mult() const { return mult_; }

 protected:
  std::optional<BBValue> _calculate_new_value() override;

 private:
  double mult_;
  std::unique_ptr<Indicator<double, double>> ma_;
  support::RollingMoments moments_;
};

}  // namespace tolbu_sdk::ta

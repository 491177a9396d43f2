#pragma once
// Bollinger Bands: a moving average of the input (cb) with bands std_dev_mult standard
// deviations (population, over the same period) below (lb) and above (ub).

#include <memory>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/rolling_moments.hpp"

namespace tolbu_sdk::ta {

struct TOLBU_API BBValue {
  std::optional<double> lb;
  std::optional<double> cb;
  std::optional<double> ub;

  bool operator==(const BBValue&) const = default;
  Record fields() const { return {{"lb", lb}, {"cb", cb}, {"ub", ub}}; }
};

class TOLBU_API BB : public PeriodIndicator<double, BBValue> {
 public:
  BB(int period, double std_dev_mult, MAType ma_type = MAType::SMA,
     const IndicatorOptions& options = {});
  BB(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  double std_dev_mult() const { return mult_; }

 protected:
  std::optional<BBValue> _calculate_new_value() override;

 private:
  double mult_;
  std::unique_ptr<Indicator<double, double>> ma_;
  support::RollingMoments moments_;
};

}  // namespace tolbu_sdk::ta

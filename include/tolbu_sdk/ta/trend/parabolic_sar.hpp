#pragma once
// Parabolic SAR (Wilder): a stop that trails the trend, moving each bar by the acceleration
// factor times the distance to the trend's extreme point (EP). The factor starts at
// `init_accel_factor` and grows by `accel_factor_inc` with each new extreme, up to
// `max_accel_factor`. The stop never enters the two previous bars' range; a bar crossing it
// reverses the trend, and the stop restarts at the old extreme (or beyond this bar's, if that
// lies further).
//
// The first value comes with the fifth bar: an up trend, the stop at the lowest low and the EP
// at the highest high of the bars so far.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

struct TOLBU_API ParabolicSARValue {
  std::optional<double> value;
  std::optional<Trend> trend;
  std::optional<double> ep;
  std::optional<double> accel_factor;

  bool operator==(const ParabolicSARValue&) const = default;
  Record fields() const {
    return {{"value", value}, {"trend", trend}, {"ep", ep}, {"accel_factor", accel_factor}};
  }
};

class TOLBU_API ParabolicSAR : public Indicator<OHLCV, ParabolicSARValue> {
 public:
  ParabolicSAR(double init_accel_factor, double accel_factor_inc, double max_accel_factor,
               const IndicatorOptions& options = {});
  ParabolicSAR(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  double init_accel_factor() const { return init_; }
  double accel_factor_inc() const { return inc_; }
  double max_accel_factor() const { return max_; }

  static constexpr std::size_t WARM_UP = 5;

 protected:
  std::optional<ParabolicSARValue> _calculate_new_value() override;

 private:
  double init_;
  double inc_;
  double max_;
};

}  // namespace tolbu_sdk::ta

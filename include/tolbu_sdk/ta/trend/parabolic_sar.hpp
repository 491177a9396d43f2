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

// One output of ParabolicSAR; absent during the first four bars.
struct TOLBU_API ParabolicSARValue {
  // The stop.
  std::optional<double> value;
  // The direction of the trend the stop trails.
  std::optional<Trend> trend;
  // The trend's extreme point: highest high of an up trend, lowest low of a down trend.
  std::optional<double> ep;
  // The acceleration factor applied to this bar.
  std::optional<double> accel_factor;

  // Field by field; absent equals absent.
  bool operator==(const ParabolicSARValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const {
    return {{"value", value}, {"trend", trend}, {"ep", ep}, {"accel_factor", accel_factor}};
  }
};

// Parabolic SAR: a stop that trails the trend and speeds up with each new extreme.
class TOLBU_API ParabolicSAR : public Indicator<OHLCV, ParabolicSARValue> {
 public:
  // ValueError unless 0 < `init_accel_factor` <= `max_accel_factor` and `accel_factor_inc` >= 0
  // (all finite).
  ParabolicSAR(double init_accel_factor, double accel_factor_inc, double max_accel_factor,
               const IndicatorOptions& options = {});
  ParabolicSAR(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  // The acceleration factor at the start of each trend.
  double init_accel_factor() const { return init_; }
  // What each new extreme adds to the factor.
  double accel_factor_inc() const { return inc_; }
  // The ceiling of the factor.
  double max_accel_factor() const { return max_; }

  // Bars before the first value.
  static constexpr std::size_t WARM_UP = 5;

 protected:
  std::optional<ParabolicSARValue> _calculate_new_value() override;

 private:
  double init_;
  double inc_;
  double max_;
};

}  // namespace tolbu_sdk::ta

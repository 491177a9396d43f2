#pragma once
// TRIX (Hutson): the one-period rate of change of a triple-smoothed EMA, in basis points
// (10000 * (E3 - previous E3) / previous E3).

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/triple_exponential_average.hpp"

namespace tolbu_sdk::ta {

// TRIX: the one-step rate of change of a triple-smoothed EMA, in basis points.
class TOLBU_API TRIX : public PeriodIndicator<double, double> {
 public:
  // The EMAs over `period` inputs; ValueError for a period below 1.
  explicit TRIX(int period, const IndicatorOptions& options = {});
  TRIX(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  support::TripleExponentialAverage ema_;
};

}  // namespace tolbu_sdk::ta

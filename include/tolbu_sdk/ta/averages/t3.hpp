#pragma once
// T3 (Tillson): six EMAs in a row combined with the coefficients of the volume factor
// `factor` (a generalised DEMA applied three times).

#include <array>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/exponential_average.hpp"

namespace tolbu_sdk::ta {

// Tillson's T3: six EMAs in a row combined by the volume factor, a smooth low-lag average.
class TOLBU_API T3 : public PeriodIndicator<double, double> {
 public:
  // EMAs over `period` inputs, combined with volume factor `factor` (0.7 is Tillson's);
  // ValueError for a period below 1.
  explicit T3(int period, double factor = 0.7, const IndicatorOptions& options = {});
  T3(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  // The volume factor the EMAs are combined with.
  double factor() const { return factor_; }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  double factor_;
  double c1_, c2_, c3_, c4_;
  std::array<support::ExponentialAverage, 6> ema_;
};

}  // namespace tolbu_sdk::ta

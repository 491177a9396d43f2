#pragma once
// Arnaud Legoux moving average: Gaussian weights over the window, centred at offset *
// (period - 1) from the oldest input with width period / sigma.

#include <vector>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

// Arnaud Legoux moving average: Gaussian-weighted mean of the newest `period` inputs.
class TOLBU_API ALMA : public PeriodIndicator<double, double> {
 public:
  // Weights centred at `offset` (0 oldest, 1 newest) with width period / `sigma`; ValueError for a
  // `period` below 1 or a `sigma` that is not a positive number.
  ALMA(int period, double offset, double sigma, const IndicatorOptions& options = {});
  ALMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  std::vector<double> weights_;  // oldest first, normalised
};

}  // namespace tolbu_sdk::ta

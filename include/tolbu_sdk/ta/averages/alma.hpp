#pragma once
// Arnaud Legoux moving average: Gaussian weights over the window, centred at offset *
// (period - 1) from the oldest input with width period / sigma.

#include <vector>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

class TOLBU_API ALMA : public PeriodIndicator<double, double> {
 public:
  ALMA(int period, double offset, double sigma, const IndicatorOptions& options = {});
  ALMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  std::vector<double> weights_;  // oldest first, normalised
};

}  // namespace tolbu_sdk::ta

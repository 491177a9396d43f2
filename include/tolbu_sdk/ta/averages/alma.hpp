#pragma once
// Arnaud Legoux moving average: Gaussian weights over the window, centred at offset *
// (period - 1) from the oldest input with width period / sigma.

#include <vector>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

class TOLBU_API ALMA : public Indicator<double, double> {
 public:
  ALMA(int period, double offset, double sigma, const IndicatorOptions& options = {});
  int period() const { return _period; }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  int _period;
  std::vector<double> _weights;  // oldest first, normalised
};

}  // namespace tolbu_sdk::ta

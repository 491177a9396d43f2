#pragma once
// Arnaud Legoux moving average: Gaussian weights over the window, centred at offset *
// (period - 1) from the oldest input with width period / sigma.

#include <vector>

#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

class ALMA : public Indicator<double, double> {
 public:
  ALMA(int period, double offset, double sigma, const IndicatorOptions& options = {});
  ALMA(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  int period() const { return _period; }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  int _period;
  std::vector<double> _weights;  // oldest first, normalised
};

}  // namespace tolbu_sdk::ta

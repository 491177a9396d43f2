#pragma once
// Triple exponential moving average (Mulloy): 3 * EMA - 3 * EMA(EMA) + EMA(EMA(EMA)).

#include "tolbu_sdk/ta/averages/ema.hpp"

namespace tolbu_sdk::ta {

class TEMA : public Indicator<double, double> {
 public:
  explicit TEMA(int period, const IndicatorOptions& options = {});
  int period() const { return _period; }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  int _period;
  EMA _e1;
  EMA _e2;
  EMA _e3;
};

}  // namespace tolbu_sdk::ta

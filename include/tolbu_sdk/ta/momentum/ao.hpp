#pragma once
// Awesome Oscillator (Williams): a fast minus a slow moving average of the median price
// (high + low) / 2. Takes whole bars.

#include <memory>

#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"

namespace tolbu_sdk::ta {

class AO : public Indicator<OHLCV, double> {
 public:
  AO(int fast_period, int slow_period, MAType ma_type = MAType::SMA,
     const IndicatorOptions& options = {});
  int fast_period() const { return _fast_period; }
  int slow_period() const { return _slow_period; }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  int _fast_period;
  int _slow_period;
  std::unique_ptr<Indicator<double, double>> _fast;
  std::unique_ptr<Indicator<double, double>> _slow;
};

}  // namespace tolbu_sdk::ta

#pragma once
// Klinger Volume Oscillator: a fast minus a slow moving average (EMA by default) of the volume
// force V * |2 (dm / cm - 1)| * trend * 100, where dm is the bar's range, trend is +1 when
// H + L + C rose and -1 otherwise, and cm accumulates dm while the trend holds (restarting
// from the previous dm when it turns). The first two bars set up the trend and give no force.

#include <memory>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/state_history.hpp"

namespace tolbu_sdk::ta {

// Klinger Volume Oscillator: fast minus slow moving average of the volume force.
class TOLBU_API KVO : public Indicator<OHLCV, double> {
 public:
  // Averages of kind `ma_type` over `fast_period` and `slow_period` bars; ValueError for a
  // period below 1.
  KVO(int fast_period, int slow_period, MAType ma_type = MAType::EMA,
      const IndicatorOptions& options = {});
  KVO(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  struct Force {
    int trend = 0;  // 0 until the second bar
    double cm = 0.0;
    double dm = 0.0;
  };

  support::StateHistory<Force> force_;
  std::unique_ptr<Indicator<double, double>> fast_;
  std::unique_ptr<Indicator<double, double>> slow_;
};

}  // namespace tolbu_sdk::ta

#pragma once
// Chaikin Oscillator: a fast minus a slow moving average (EMA by default) of the
// Accumulation/Distribution line.

#include <memory>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/volume/accu_dist.hpp"

namespace tolbu_sdk::ta {

// Chaikin Oscillator: fast minus slow moving average of the Accumulation/Distribution line.
class TOLBU_API ChaikinOsc : public Indicator<OHLCV, double> {
 public:
  // Averages of kind `ma_type` over `fast_period` and `slow_period` bars; ValueError for a
  // period below 1.
  ChaikinOsc(int fast_period, int slow_period, MAType ma_type = MAType::EMA,
             const IndicatorOptions& options = {});
  ChaikinOsc(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  AccuDist accu_dist_;
  std::unique_ptr<Indicator<double, double>> fast_;
  std::unique_ptr<Indicator<double, double>> slow_;
};

}  // namespace tolbu_sdk::ta

#pragma once
// Coppock Curve: a weighted moving average over `wma_period` of the sum of two rates of change
// (over `fast_roc_period` and `slow_roc_period` inputs).

#include <memory>

#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

class CoppockCurve : public Indicator<double, double> {
 public:
  CoppockCurve(int fast_roc_period, int slow_roc_period, int wma_period,
               const IndicatorOptions& options = {});
  CoppockCurve(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  int fast_roc_period() const { return static_cast<int>(_fast_roc_period); }
  int slow_roc_period() const { return static_cast<int>(_slow_roc_period); }
  int wma_period() const { return _wma_period; }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  std::size_t _fast_roc_period;
  std::size_t _slow_roc_period;
  int _wma_period;
  std::unique_ptr<Indicator<double, double>> _wma;
};

}  // namespace tolbu_sdk::ta

#pragma once
// Coppock Curve: a weighted moving average over `wma_period` of the sum of two rates of change
// (over `fast_roc_period` and `slow_roc_period` inputs).

#include <memory>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

// Coppock Curve: a WMA of the sum of a fast and a slow rate of change.
class TOLBU_API CoppockCurve : public Indicator<double, double> {
 public:
  // Rates of change over `fast_roc_period` and `slow_roc_period` inputs, their sum averaged
  // over `wma_period`; ValueError for a period below 1.
  CoppockCurve(int fast_roc_period, int slow_roc_period, int wma_period,
               const IndicatorOptions& options = {});
  CoppockCurve(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  // Inputs back of the fast rate of change.
  int fast_roc_period() const { return static_cast<int>(fast_roc_period_); }
  // Inputs back of the slow rate of change.
  int slow_roc_period() const { return static_cast<int>(slow_roc_period_); }
  // Values in the WMA of the summed rates.
  int wma_period() const { return wma_period_; }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  std::size_t fast_roc_period_;
  std::size_t slow_roc_period_;
  int wma_period_;
  std::unique_ptr<Indicator<double, double>> wma_;
};

}  // namespace tolbu_sdk::ta

#pragma once
// Moving Average Convergence Divergence (Appel): the fast minus the slow moving average of
// the input, its signal line (a moving average of the MACD over `signal_period`) and the
// histogram (MACD - signal).

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"

namespace tolbu_sdk::ta {

// One output of MACD; absent fields are still warming up.
struct TOLBU_API MACDValue {
  // Fast average minus slow average.
  std::optional<double> macd;
  // A moving average of `macd` over the signal period.
  std::optional<double> signal;
  // `macd` minus `signal`.
  std::optional<double> histogram;

  // Field by field; absent equals absent.
  bool operator==(const MACDValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"macd", macd}, {"signal", signal}, {"histogram", histogram}}; }
};

// Moving Average Convergence Divergence: fast minus slow average, its signal and histogram.
class TOLBU_API MACD : public Indicator<double, MACDValue> {
 public:
  // Averages of kind `ma_type` over `fast_period`, `slow_period` and `signal_period` inputs;
  // ValueError for a period below 1.
  MACD(int fast_period, int slow_period, int signal_period, MAType ma_type = MAType::EMA,
       const IndicatorOptions& options = {});
  MACD(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  // Inputs in the fast average.
  int fast_period() const { return fast_period_; }
  // Inputs in the slow average.
  int slow_period() const { return slow_period_; }
  // MACD values in the signal line.
  int signal_period() const { return signal_period_; }

 protected:
  std::optional<MACDValue> _calculate_new_value() override;

 private:
  int fast_period_;
  int slow_period_;
  int signal_period_;
  support::MomentumAverage fast_;
  support::MomentumAverage slow_;
  support::MomentumAverage signal_;
};

}  // namespace tolbu_sdk::ta

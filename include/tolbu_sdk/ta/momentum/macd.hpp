#pragma once
// Moving Average Convergence Divergence (Appel): the fast minus the slow moving average of
// the input, its signal line (a moving average of the MACD over `signal_period`) and the
// histogram (MACD - signal).

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"

namespace tolbu_sdk::ta {

struct TOLBU_API MACDValue {
  std::optional<double> macd;
  std::optional<double> signal;
  std::optional<double> histogram;

  bool operator==(const MACDValue&) const = default;
  Record fields() const { return {{"macd", macd}, {"signal", signal}, {"histogram", histogram}}; }
};

class TOLBU_API MACD : public Indicator<double, MACDValue> {
 public:
  MACD(int fast_period, int slow_period, int signal_period, MAType ma_type = MAType::EMA,
       const IndicatorOptions& options = {});
  MACD(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  int fast_period() const { return fast_period_; }
  int slow_period() const { return slow_period_; }
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

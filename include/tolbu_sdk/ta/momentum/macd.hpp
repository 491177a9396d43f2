#pragma once
// Moving Average Convergence Divergence (Appel): the fast minus the slow moving average of
// the input, its signal line (a moving average of the MACD over `signal_period`) and the
// histogram (MACD - signal).

#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"

namespace tolbu_sdk::ta {

struct MACDValue {
  std::optional<double> macd;
  std::optional<double> signal;
  std::optional<double> histogram;

  bool operator==(const MACDValue&) const = default;
  Record fields() const { return {{"macd", macd}, {"signal", signal}, {"histogram", histogram}}; }
};

class MACD : public Indicator<double, MACDValue> {
 public:
  MACD(int fast_period, int slow_period, int signal_period, MAType ma_type = MAType::EMA,
       const IndicatorOptions& options = {});
  MACD(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  int fast_period() const { return _fast_period; }
  int slow_period() const { return _slow_period; }
  int signal_period() const { return _signal_period; }

 protected:
  std::optional<MACDValue> _calculate_new_value() override;

 private:
  int _fast_period;
  int _slow_period;
  int _signal_period;
  support::MomentumAverage _fast;
  support::MomentumAverage _slow;
  support::MomentumAverage _signal;
};

}  // namespace tolbu_sdk::ta

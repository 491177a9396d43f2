#pragma once
// Smoothed On-Balance Volume: the simple moving average of OBV over `period` bars.

#include "tolbu_sdk/ta/averages/sma.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/volume/obv.hpp"

namespace tolbu_sdk::ta {

class SOBV : public Indicator<OHLCV, double> {
 public:
  explicit SOBV(int period, const IndicatorOptions& options = {});
  SOBV(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  int period() const { return _sma.period(); }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  OBV _obv;
  SMA _sma;
};

}  // namespace tolbu_sdk::ta

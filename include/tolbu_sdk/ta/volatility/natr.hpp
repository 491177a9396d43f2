#pragma once
// Normalised Average True Range: ATR as a percentage of the close.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/volatility/atr.hpp"

namespace tolbu_sdk::ta {

class TOLBU_API NATR : public Indicator<OHLCV, double> {
 public:
  explicit NATR(int period, const IndicatorOptions& options = {});
  NATR(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  int period() const { return atr_.period(); }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  ATR atr_;
};

}  // namespace tolbu_sdk::ta

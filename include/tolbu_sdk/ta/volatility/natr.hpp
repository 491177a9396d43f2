#pragma once
// Normalised Average True Range: ATR as a percentage of the close.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/volatility/atr.hpp"

namespace tolbu_sdk::ta {

// Normalised Average True Range: the ATR over `period` bars as a percentage of the close.
class TOLBU_API NATR : public Indicator<OHLCV, double> {
 public:
  // ValueError for a period below 1.
  explicit NATR(int period, const IndicatorOptions& options = {});
  NATR(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  // Bars in the ATR.
  int period() const { return atr_.period(); }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  ATR atr_;
};

}  // namespace tolbu_sdk::ta

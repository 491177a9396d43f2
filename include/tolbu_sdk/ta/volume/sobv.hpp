#pragma once
// Smoothed On-Balance Volume: the simple moving average of OBV over `period` bars.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/averages/sma.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/volume/obv.hpp"

namespace tolbu_sdk::ta {

class TOLBU_API SOBV : public Indicator<OHLCV, double> {
 public:
  explicit SOBV(int period, const IndicatorOptions& options = {});
  SOBV(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  int period() const { return sma_.period(); }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  OBV obv_;
  SMA sma_;
};

}  // namespace tolbu_sdk::ta

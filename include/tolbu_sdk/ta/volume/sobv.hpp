#pragma once
// Smoothed On-Balance Volume: the simple moving average of OBV over `period` bars.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/averages/sma.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/volume/obv.hpp"

namespace tolbu_sdk::ta {

// Smoothed On-Balance Volume: the simple moving average of OBV over `period` bars.
class TOLBU_API SOBV : public Indicator<OHLCV, double> {
 public:
  // ValueError for a period below 1.
  explicit SOBV(int period, const IndicatorOptions& options = {});
  SOBV(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  // Bars in the average.
  int period() const { return sma_.period(); }

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  OBV obv_;
  SMA sma_;
};

}  // namespace tolbu_sdk::ta

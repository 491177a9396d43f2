#pragma once
// Average True Range (Wilder): the true range smoothed with factor 1 / period, seeded with the
// mean of the first `period` true ranges. The first bar's true range is its high - low.

#include <algorithm>
#include <cmath>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"

namespace tolbu_sdk::ta {

// The greatest of high - low and the gaps from the previous close; high - low without one.
inline double true_range(const OHLCV& bar, const OHLCV* previous) {
  const double range = bar.high - bar.low;
  if (previous == nullptr) return range;
  return std::max(
      {range, std::abs(bar.high - previous->close), std::abs(bar.low - previous->close)});
}

// Average True Range over `period` bars (Wilder's smoothing).
class TOLBU_API ATR : public PeriodIndicator<OHLCV, double> {
 public:
  // ValueError for a period below 1.
  explicit ATR(int period, const IndicatorOptions& options = {});
  ATR(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;
};

}  // namespace tolbu_sdk::ta

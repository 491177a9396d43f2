#pragma once
// Relative Strength Index (Wilder): 100 - 100 / (1 + average gain / average loss) over the
// changes between inputs. The averages start as the mean of the first `period` changes and are
// then smoothed with factor 1 / period. Without any change at all it repeats the previous
// value; gains without losses give 100.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/relative_strength.hpp"

namespace tolbu_sdk::ta {

// Relative Strength Index over `period` changes (Wilder's smoothing), 0 to 100.
class TOLBU_API RSI : public PeriodIndicator<double, double> {
 public:
  // ValueError for a `period` below 1.
  explicit RSI(int period, const IndicatorOptions& options = {});
  RSI(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  support::RelativeStrength strength_;
};

}  // namespace tolbu_sdk::ta

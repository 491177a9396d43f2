#pragma once
// Volume-Weighted Average Price: the running sum of typical price (H + L + C) / 3 times
// volume over the running sum of volume, from the first input on. Absent until some volume
// has traded.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/state_history.hpp"

namespace tolbu_sdk::ta {

// Volume-Weighted Average Price of the typical price, from the first bar on.
class TOLBU_API VWAP : public Indicator<OHLCV, double> {
 public:
  // Has no parameter: a running average from the first bar; absent until volume trades.
  explicit VWAP(const IndicatorOptions& options = {});
  VWAP(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<double> _calculate_new_value() override;

 private:
  struct Totals {
    double price_volume = 0.0;
    double volume = 0.0;
  };
  support::StateHistory<Totals> totals_;
};

}  // namespace tolbu_sdk::ta

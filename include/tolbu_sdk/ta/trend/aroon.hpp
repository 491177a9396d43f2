#pragma once
// Aroon (Chande): how recently the highest high (up) and the lowest low (down) of the newest
// period + 1 bars occurred, from 100 (this bar) to 0 (`period` bars ago). Of equal extremes the
// newest counts.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_extremum.hpp"

namespace tolbu_sdk::ta {

struct TOLBU_API AroonValue {
  std::optional<double> up;
  std::optional<double> down;

  bool operator==(const AroonValue&) const = default;
  Record fields() const { return {{"up", up}, {"down", down}}; }
};

class TOLBU_API Aroon : public PeriodIndicator<OHLCV, AroonValue> {
 public:
  explicit Aroon(int period, const IndicatorOptions& options = {});
  Aroon(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<AroonValue> _calculate_new_value() override;

 private:
  support::RollingMax high_;
  support::RollingMin low_;
};

}  // namespace tolbu_sdk::ta

#pragma once
// Aroon (Chande): how recently the highest high (up) and the lowest low (down) of the newest
// period + 1 bars occurred, from 100 (this bar) to 0 (`period` bars ago). Of equal extremes the
// newest counts.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_extremum.hpp"

namespace tolbu_sdk::ta {

// One output of Aroon; absent fields are still warming up.
struct TOLBU_API AroonValue {
  // 100 when the window's highest high is this bar, falling to 0 when it is `period` bars back.
  std::optional<double> up;
  // 100 when the window's lowest low is this bar, falling to 0 when it is `period` bars back.
  std::optional<double> down;

  // Field by field; absent equals absent.
  bool operator==(const AroonValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"up", up}, {"down", down}}; }
};

// Aroon: how recently the window's highest high and lowest low occurred.
class TOLBU_API Aroon : public PeriodIndicator<OHLCV, AroonValue> {
 public:
  // A window of `period` + 1 bars; ValueError for a period below 1.
  explicit Aroon(int period, const IndicatorOptions& options = {});
  Aroon(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<AroonValue> _calculate_new_value() override;

 private:
  support::RollingMax high_;
  support::RollingMin low_;
};

}  // namespace tolbu_sdk::ta

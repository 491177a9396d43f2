#pragma once
// Pivot highs and lows. A bar is a high candidate when its high is the highest of the newest
// `high_period` bars, a low candidate when its low is the lowest of the newest `low_period`.
// The first bar opens the search as a LOW. Pivots alternate: a high candidate after a LOW
// starts a HIGH, one after a HIGH moves it if it is at least as high; lows likewise. A bar that
// is both counts as a high. See pivot.hpp for how the pivots are reported.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/levels/pivot.hpp"
#include "tolbu_sdk/ta/support/rolling_extremum.hpp"

namespace tolbu_sdk::ta {

// Pivot highs and lows: alternating tops and bottoms of rolling windows of highs and lows.
class TOLBU_API PivotsHL : public PivotIndicator {
 public:
  // High candidates over `high_period` bars, low candidates over `low_period`; ValueError for a
  // period below 1.
  PivotsHL(int high_period, int low_period, const IndicatorOptions& options = {});
  PivotsHL(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  // Bars whose highest high makes a high candidate.
  int high_period() const { return high_period_; }
  // Bars whose lowest low makes a low candidate.
  int low_period() const { return low_period_; }

 protected:
  Step _find_pivot() override;

 private:
  int high_period_;
  int low_period_;
  support::RollingMax high_;
  support::RollingMin low_;
};

}  // namespace tolbu_sdk::ta

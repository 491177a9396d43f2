#pragma once
// ZigZag: the swings that reverse by at least `sensitivity` (0.02: two per cent). A HIGH is
// confirmed when a low lies `sensitivity` below it at least `min_trend_length` bars later, and
// the LOW search starts at that bar; lows likewise. Until then a higher high moves the HIGH.
// The first bar opens the search as a LOW. See pivot.hpp for how the pivots are reported.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/levels/pivot.hpp"

namespace tolbu_sdk::ta {

// ZigZag: the swings that reverse by at least a given fraction.
class TOLBU_API ZigZag : public PivotIndicator {
 public:
  // Reversals of at least `sensitivity` (0.02: two per cent) confirmed at least
  // `min_trend_length` bars after the pivot; ValueError for a sensitivity not above 0 or a length
  // below 1.
  ZigZag(double sensitivity, int min_trend_length, const IndicatorOptions& options = {});
  ZigZag(Params& params, const IndicatorOptions& options);  // by name, registry.hpp
  // The smallest reversal, as a fraction of the price.
  double sensitivity() const { return sensitivity_; }
  // The fewest bars between a pivot and the bar that confirms it.
  int min_trend_length() const { return static_cast<int>(min_trend_length_); }

 protected:
  Step _find_pivot() override;

 private:
  double sensitivity_;
  std::size_t min_trend_length_;
};

}  // namespace tolbu_sdk::ta

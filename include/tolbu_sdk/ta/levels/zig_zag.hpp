#pragma once
// ZigZag: the swings that reverse by at least `sensitivity` (0.02: two per cent). A HIGH is
// confirmed when a low lies `sensitivity` below it at least `min_trend_length` bars later, and
// the LOW search starts at that bar; lows likewise. Until then a higher high moves the HIGH.
// The first pivot is the first bar that leaves the first bar's range: a higher high starts a
// HIGH, else a lower low a LOW. See pivot.hpp for how the pivots are reported.

#include "tolbu_sdk/ta/levels/pivot.hpp"

namespace tolbu_sdk::ta {

class ZigZag : public PivotIndicator {
 public:
  ZigZag(double sensitivity, int min_trend_length, const IndicatorOptions& options = {});
  double sensitivity() const { return _sensitivity; }
  int min_trend_length() const { return static_cast<int>(_min_trend_length); }

 protected:
  Step _find_pivot() override;
  void _on_remove() override;
  void _on_reset() override;

 private:
  double _sensitivity;
  std::size_t _min_trend_length;
  std::optional<OHLCV> _first;  // the first bar, which the first pivot must leave
};

}  // namespace tolbu_sdk::ta

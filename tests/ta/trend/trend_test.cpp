// Trend indicators: the stop-and-reverse rules, the recency of extremes and the Ichimoku lines
// with periods that all differ (the reference uses 26 for three of them).

#include <gtest/gtest.h>

#include <algorithm>

#include "family_helpers.hpp"
#include "tolbu_sdk/ta/trend/aroon.hpp"
#include "tolbu_sdk/ta/trend/ichimoku.hpp"
#include "tolbu_sdk/ta/trend/parabolic_sar.hpp"
#include "tolbu_sdk/ta/trend/vtx.hpp"

namespace tolbu_sdk::ta::testing {
namespace {

// The stop always lies outside the bar it is given for: below it in an up trend, above it in a
// down trend. A reversal that put it inside the bar would be a stop hit and ignored.
TEST(ParabolicSAR, TheStopLiesOutsideEveryBar) {
  const auto bars = random_bars(3000, 17);
  ParabolicSAR sar(0.02, 0.02, 0.2);
  int reversals = 0;
  std::optional<Trend> last;
  for (const OHLCV& b : bars) {
    sar.add(b);
    const auto v = sar.value();
    if (!v) continue;
    if (*v->trend == Trend::UP) {
      ASSERT_LE(*v->value, b.low);
      ASSERT_GE(*v->ep, b.high);
    } else {
      ASSERT_GE(*v->value, b.high);
      ASSERT_LE(*v->ep, b.low);
    }
    ASSERT_GE(*v->accel_factor, 0.02 - 1e-12);
    ASSERT_LE(*v->accel_factor, 0.2 + 1e-12);
    if (last && *last != *v->trend) ++reversals;
    last = v->trend;
  }
  EXPECT_GT(reversals, 20);
}

TEST(ParabolicSAR, AReversalStartsAtTheOldExtremeOrBeyondTheBar) {
  ParabolicSAR sar(0.1, 0.1, 0.3);
  for (const OHLCV& b : {hl(10, 9), hl(11, 10), hl(12, 11), hl(13, 12), hl(14, 13)}) sar.add(b);
  EXPECT_EQ(sar.value()->trend, Trend::UP);
  EXPECT_DOUBLE_EQ(*sar.value()->value, 9.0);
  EXPECT_DOUBLE_EQ(*sar.value()->ep, 14.0);
  // A bar that reaches above the extreme and closes below the stop: the new stop sits above it.
  sar.add(hl(15, 8));
  EXPECT_EQ(sar.value()->trend, Trend::DOWN);
  EXPECT_DOUBLE_EQ(*sar.value()->value, 15.0);
  EXPECT_DOUBLE_EQ(*sar.value()->ep, 8.0);
  EXPECT_DOUBLE_EQ(*sar.value()->accel_factor, 0.1);
  // Down trend: the stop falls towards the EP, but not into the two previous bars' range.
  sar.add(hl(9.6, 8.2));
  EXPECT_DOUBLE_EQ(*sar.value()->value, 15.0);
  sar.add(hl(9.5, 8.1));
  EXPECT_DOUBLE_EQ(*sar.value()->value, 15.0);
  sar.add(hl(9.4, 7));
  EXPECT_DOUBLE_EQ(*sar.value()->value, 15.0 + 0.1 * (8.0 - 15.0));
  EXPECT_DOUBLE_EQ(*sar.value()->ep, 7.0);
  EXPECT_DOUBLE_EQ(*sar.value()->accel_factor, 0.2);
}

TEST(Aroon, TheNewestOfEqualExtremesCounts) {
  Aroon aroon(4);
  for (const OHLCV& b : {hl(5, 1), hl(9, 0), hl(6, 2), hl(9, 3), hl(7, 0)}) aroon.add(b);
  EXPECT_DOUBLE_EQ(*aroon.value()->up, 100.0 * (4 - 1) / 4);  // the second 9, one bar back
  EXPECT_DOUBLE_EQ(*aroon.value()->down, 100.0);              // the 0 of this bar
  aroon.add(hl(8, 4));
  EXPECT_DOUBLE_EQ(*aroon.value()->up, 100.0 * (4 - 2) / 4);
  EXPECT_DOUBLE_EQ(*aroon.value()->down, 100.0 * (4 - 1) / 4);
}

TEST(VTX, AWindowWithoutRangeHoldsTheLastValue) {
  VTX vtx(2);
  for (const OHLCV& b : {hl(10, 9), hl(11, 9.5), hl(10.5, 9)}) vtx.add(b);
  vtx.add(flat_bar(9.0));
  vtx.add(flat_bar(9.0));  // the window still holds the step down from 10.5
  const auto last = vtx.value();
  ASSERT_TRUE(last);
  EXPECT_DOUBLE_EQ(*last->minus_vtx, 1.0);
  for (int i = 0; i < 4; ++i) vtx.add(flat_bar(9.0));
  EXPECT_EQ(vtx.value(), last);
}

double midpoint(const std::vector<OHLCV>& bars, std::size_t end, std::size_t period) {
  double hi = bars[end].high, lo = bars[end].low;
  for (std::size_t k = 0; k < period; ++k) {
    hi = std::max(hi, bars[end - k].high);
    lo = std::min(lo, bars[end - k].low);
  }
  return (hi + lo) / 2.0;
}

TEST(Ichimoku, EachLineReadsItsOwnPeriod) {
  const std::size_t kijun = 7, tenkan = 3, chikou = 5, slow = 11, lookup = 4;
  Ichimoku ichimoku(static_cast<int>(kijun), static_cast<int>(tenkan), static_cast<int>(chikou),
                    static_cast<int>(slow), static_cast<int>(lookup));
  const auto bars = random_bars(120, 2);
  for (std::size_t i = 0; i < bars.size(); ++i) {
    ichimoku.add(bars[i]);
    const IchimokuValue v = *ichimoku.value();
    SCOPED_TRACE(i);
    EXPECT_EQ(v.base_line.has_value(), i + 1 >= kijun);
    EXPECT_EQ(v.conversion_line.has_value(), i + 1 >= tenkan);
    EXPECT_EQ(v.lagging_line.has_value(), i + 1 >= chikou);
    EXPECT_EQ(v.cloud_leading_fast_line.has_value(), i >= kijun - 1 + lookup);
    EXPECT_EQ(v.cloud_leading_slow_line.has_value(), i >= slow + lookup);
    if (v.base_line) {
      EXPECT_DOUBLE_EQ(*v.base_line, midpoint(bars, i, kijun));
    }
    if (v.conversion_line) {
      EXPECT_DOUBLE_EQ(*v.conversion_line, midpoint(bars, i, tenkan));
    }
    if (v.lagging_line) {
      EXPECT_DOUBLE_EQ(*v.lagging_line, bars[i].close);
    }
    if (v.cloud_leading_fast_line) {
      const std::size_t then = i - lookup;
      EXPECT_DOUBLE_EQ(*v.cloud_leading_fast_line,
                       (midpoint(bars, then, kijun) + midpoint(bars, then, tenkan)) / 2.0);
    }
    if (v.cloud_leading_slow_line) {
      EXPECT_DOUBLE_EQ(*v.cloud_leading_slow_line, midpoint(bars, i - lookup - 1, slow));
    }
  }
}

}  // namespace
}  // namespace tolbu_sdk::ta::testing

// Oscillators: what they give where their definition divides by a range or a movement that
// can be zero, and the bounds their values keep.

#include <gtest/gtest.h>

#include "family_helpers.hpp"
#include "tolbu_sdk/ta/momentum/bop.hpp"
#include "tolbu_sdk/ta/momentum/cci.hpp"
#include "tolbu_sdk/ta/momentum/ibs.hpp"
#include "tolbu_sdk/ta/momentum/roc.hpp"
#include "tolbu_sdk/ta/momentum/rsi.hpp"
#include "tolbu_sdk/ta/momentum/stc.hpp"
#include "tolbu_sdk/ta/momentum/stoch.hpp"
#include "tolbu_sdk/ta/momentum/stoch_rsi.hpp"
#include "tolbu_sdk/ta/momentum/tsi.hpp"
#include "tolbu_sdk/ta/momentum/uo.hpp"
#include "tolbu_sdk/ta/momentum/williams.hpp"

namespace tolbu_sdk::ta::testing {
namespace {

OHLCV bar(double open, double high, double low, double close) {
  return OHLCV{open, high, low, close, 1000.0, std::nullopt};
}

TEST(BarShare, ABarWithoutRangeRepeatsThePreviousValue) {
  BOP bop;
  IBS ibs;
  bop.add(flat_bar(10.0));
  ibs.add(flat_bar(10.0));
  EXPECT_FALSE(bop.value());
  EXPECT_FALSE(ibs.value());
  bop.add(bar(10.0, 12.0, 9.0, 11.5));
  ibs.add(bar(10.0, 12.0, 9.0, 11.5));
  bop.add(flat_bar(11.5));
  ibs.add(flat_bar(11.5));
  EXPECT_DOUBLE_EQ(*bop.value(), 0.5);
  EXPECT_DOUBLE_EQ(*ibs.value(), 2.5 / 3.0);
}

TEST(RangeOscillators, AFlatWindowHoldsTheLastValue) {
  Stoch stoch(3, 2);
  Williams williams(3);
  const auto add = [&](const OHLCV& b) {
    stoch.add(b);
    williams.add(b);
  };
  for (const OHLCV& b : {bar(10, 11, 9, 10.5), bar(10.5, 12, 10, 11), bar(11, 11.5, 10.5, 11)}) {
    add(b);
  }
  EXPECT_DOUBLE_EQ(*stoch.value()->k, 100.0 * (11 - 9) / (12 - 9));
  EXPECT_DOUBLE_EQ(*williams.value(), -100.0 * (12 - 11) / (12 - 9));
  add(flat_bar(11.0));
  add(flat_bar(11.0));  // the window still holds the bar from 10.5 to 11.5
  const double k = *stoch.value()->k;
  const double r = *williams.value();
  EXPECT_DOUBLE_EQ(k, 50.0);
  EXPECT_DOUBLE_EQ(r, -50.0);
  for (int i = 0; i < 5; ++i) add(flat_bar(11.0));
  EXPECT_DOUBLE_EQ(*stoch.value()->k, k);
  EXPECT_DOUBLE_EQ(*stoch.value()->d, k);  // %D averages the held values
  EXPECT_DOUBLE_EQ(*williams.value(), r);

  // Flat from the start: nothing to hold, so nothing is made up.
  Stoch flat(3, 2);
  for (int i = 0; i < 5; ++i) flat.add(flat_bar(7.0));
  EXPECT_FALSE(flat.value());
}

TEST(RangeOscillators, StayWithinTheirScales) {
  const auto bars = random_bars(500, 21);
  Stoch stoch(14, 3);
  Williams williams(14);
  UO uo(7, 14, 28);
  StochRSI stoch_rsi(14, 14, 3, 3);
  STC stc(23, 50, 10, 3);
  for (const OHLCV& b : bars) {
    stoch.add(b);
    williams.add(b);
    uo.add(b);
    stoch_rsi.add(b.close);
    stc.add(b.close);
    const auto in = [](std::optional<double> v, double lo, double hi) {
      return !v || (*v >= lo - 1e-9 && *v <= hi + 1e-9);
    };
    if (auto v = stoch.value()) {
      ASSERT_TRUE(in(v->k, 0, 100) && in(v->d, 0, 100));
    }
    ASSERT_TRUE(in(williams.value(), -100, 0));
    ASSERT_TRUE(in(uo.value(), 0, 100));
    if (auto v = stoch_rsi.value()) {
      ASSERT_TRUE(in(v->k, 0, 100) && in(v->d, 0, 100));
    }
    ASSERT_TRUE(in(stc.value(), 0, 100));
  }
  EXPECT_TRUE(stc.value());
}

TEST(RSI, ExtremesAndStillness) {
  RSI rising(3);
  for (double x : {1.0, 2.0, 3.0, 4.0, 5.0}) rising.add(x);
  EXPECT_DOUBLE_EQ(*rising.value(), 100.0);

  RSI falling(3);
  for (double x : {5.0, 4.0, 3.0, 2.0, 1.0}) falling.add(x);
  EXPECT_DOUBLE_EQ(*falling.value(), 0.0);

  RSI still(3);
  for (int i = 0; i < 6; ++i) still.add(10.0);
  EXPECT_FALSE(still.value());

  // Wilder smoothing: after gains 1, 1, 1 and a loss of 3 the averages are 2/3 and 1.
  RSI mixed(3);
  for (double x : {1.0, 2.0, 3.0, 4.0, 1.0}) mixed.add(x);
  EXPECT_NEAR(*mixed.value(), 100.0 - 100.0 / (1.0 + (2.0 / 3.0) / 1.0), 1e-12);
  // Long stillness decays both averages but keeps their ratio.
  for (int i = 0; i < 2000; ++i) mixed.add(1.0);
  EXPECT_NEAR(*mixed.value(), 40.0, 1e-9);
}

TEST(ROC, AZeroBaseGivesNoValue) {
  ROC roc(2);
  for (double x : {0.0, 5.0, 10.0, 20.0}) roc.add(x);
  EXPECT_FALSE(roc.output_values()[2]);   // 10 against 0
  EXPECT_DOUBLE_EQ(*roc.value(), 300.0);  // 20 against 5
}

TEST(MovementOscillators, StillnessHoldsTheLastValue) {
  const auto bars = random_bars(120, 4);
  const OHLCV still = flat_bar(bars.back().close);
  TSI tsi(3, 5);
  CCI cci(5);
  UO uo(2, 3, 4);
  for (const OHLCV& b : bars) {
    tsi.add(b.close);
    cci.add(b);
    uo.add(b);
  }
  std::optional<double> cci_last_moving, uo_last_moving;
  for (int i = 1; i <= 300; ++i) {
    tsi.add(still.close);
    cci.add(still);
    uo.add(still);
    if (i == 4) cci_last_moving = cci.value();  // the window's last bar with a range
    if (i == 1) uo_last_moving = uo.value();    // the fast window's
    ASSERT_TRUE(tsi.value() && cci.value() && uo.value());
  }
  // TSI smooths the zero changes in: both of its averages decay, never to a division by zero.
  EXPECT_TRUE(std::isfinite(*tsi.value()));
  EXPECT_EQ(cci.value(), cci_last_moving);
  EXPECT_EQ(uo.value(), uo_last_moving);
}

TEST(STC, AFlatCycleIsAtTheTop) {
  STC stc(3, 6, 3, 2);
  for (int i = 0; i < 40; ++i) stc.add(50.0);
  EXPECT_DOUBLE_EQ(*stc.value(), 100.0);
}

// The second stochastic pass starts once the first has `stoch_period` values of %K, on the
// smoothed values it has by then: smoothing - 1 inputs earlier than two full passes.
TEST(STC, FirstValueComesWithThePartialSecondPass) {
  STC stc(2, 4, 5, 3);
  const auto bars = random_bars(60, 8);
  std::size_t first = 0;
  for (std::size_t i = 0; i < bars.size(); ++i) {
    stc.add(bars[i].close);
    if (stc.value() && first == 0) first = i;
  }
  // MACD from input 3 (slow EMA of 4), %K from 3 + 4, the second %K from 3 + 2 * 4, smoothed
  // over 3.
  EXPECT_EQ(first, 3u + 2u * 4u + 2u);
}

}  // namespace
}  // namespace tolbu_sdk::ta::testing

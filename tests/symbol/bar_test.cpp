#include "tolbu_sdk/strategy/bar.hpp"

#include <gtest/gtest.h>

using tolbu_sdk::platform::make_local;
using tolbu_sdk::strategy::Bar;
using tolbu_sdk::types::Candle;

TEST(Bar, FromCandleKeepsMillisecondsAsFractionalSeconds) {
  // 2023-11-14T22:13:20.500 UTC; tests run with TZ=UTC.
  Candle c{1700000000500, 10, 12, 9, 11, 1234.5};
  Bar b = Bar::from_candle(c, "FPT");
  EXPECT_EQ(b.symbol, "FPT");
  EXPECT_EQ(b.time, make_local(2023, 11, 14, 22, 13, 20, 500000));
  EXPECT_EQ(b.open, 10);
  EXPECT_EQ(b.close, 11);
  EXPECT_EQ(b.volume, 1234.5);
  // Built twice from the same candle: equal; any field changed: unequal.
  Bar same = Bar::from_candle(c, "FPT");
  EXPECT_EQ(same, b);
  same.volume += 1;
  EXPECT_NE(same, b);
  EXPECT_NE(Bar::from_candle(c, "FPX"), b);
}

TEST(Bar, DerivedValuesFollowTheFields) {
  Bar b{"X", {}, 10, 12, 9, 11, 0};
  EXPECT_TRUE(b.is_bullish());
  EXPECT_FALSE(b.is_bearish());
  EXPECT_EQ(b.body(), 1);
  EXPECT_EQ(b.range(), 3);
  EXPECT_EQ(b.upper_wick(), 1);  // high - close
  EXPECT_EQ(b.lower_wick(), 1);  // open - low
  EXPECT_EQ(b.mid_price(), 10.5);
  EXPECT_DOUBLE_EQ(b.typical_price(), 32.0 / 3);

  b.close = 9.5;  // bearish now: wicks measured from open above and close below
  EXPECT_TRUE(b.is_bearish());
  EXPECT_EQ(b.body(), 0.5);
  EXPECT_EQ(b.upper_wick(), 2);
  EXPECT_EQ(b.lower_wick(), 0.5);

  b.close = b.open;
  EXPECT_FALSE(b.is_bullish());
  EXPECT_FALSE(b.is_bearish());
  EXPECT_EQ(b.body(), 0);

  Bar odd{"X", {}, 10, 8, 12, 10, 0};  // high below low: no guard, negative range
  EXPECT_EQ(odd.range(), -4);
}

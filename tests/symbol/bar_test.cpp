#include "tolbu_sdk/strategy/bar.hpp"
#include "tolbu_sdk/types/records.hpp"

#include <gtest/gtest.h>

using tolbu_sdk::platform::make_local;
using tolbu_sdk::strategy::Bar;

TEST(Bar, FromCandleKeepsMillisecondsAsFractionalSeconds) {
  const tolbu_sdk::types::Candle c{1700000000500, 10, 12, 9, 11, 1234.5};
  Bar b = Bar::from_candle(c, "FPT");
  // 2023-11-14T22:13:20.500 (tests run with TZ=UTC).
  EXPECT_EQ(b, (Bar{"FPT", make_local(2023, 11, 14, 22, 13, 20, 500000), 10, 12, 9, 11, 1234.5}));
  Bar other = Bar::from_candle(c, "FPT");
  other.volume += 1;
  EXPECT_NE(other, b);
}

TEST(Bar, DerivedValuesFollowTheFields) {
  Bar b{"X", {}, 10, 12, 9, 11, 0};
  EXPECT_TRUE(b.is_bullish() && !b.is_bearish());
  EXPECT_EQ(b.body(), 1);
  EXPECT_EQ(b.range(), 3);
  EXPECT_EQ(b.upper_wick(), 1);  // high - close
  EXPECT_EQ(b.lower_wick(), 1);  // open - low
  EXPECT_EQ(b.mid_price(), 10.5);
  EXPECT_DOUBLE_EQ(b.typical_price(), 32.0 / 3);
  b.close = 9.5;  // bearish: wicks from open above and close below
  EXPECT_TRUE(b.is_bearish());
  EXPECT_EQ(b.body(), 0.5);
  EXPECT_EQ(b.upper_wick(), 2);
  EXPECT_EQ(b.lower_wick(), 0.5);
  b.close = b.open;
  EXPECT_FALSE(b.is_bullish() || b.is_bearish());
  EXPECT_EQ(b.body(), 0);
}

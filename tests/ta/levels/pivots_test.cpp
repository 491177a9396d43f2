// PivotsHL and ZigZag: the provisional newest pivot, the per-bar stream of final pivots, undo,
// purge, and the swing rules on a long random walk.

#include <gtest/gtest.h>

#include "family_helpers.hpp"
#include "tolbu_sdk/ta/levels/pivots_hl.hpp"
#include "tolbu_sdk/ta/levels/zig_zag.hpp"

namespace tolbu_sdk::ta::testing {
namespace {

TEST(ZigZag, TheNewestPivotMovesUntilTheSwingIsConfirmed) {
  ZigZag zz(0.10, 2);
  zz.add(hl(100, 99));  // the first bar opens the search as a LOW
  ASSERT_EQ(zz.size(), 1u);
  EXPECT_EQ(zz[-1].type, PivotType::LOW);
  zz.add(hl(101, 98));  // lower: the LOW moves
  ASSERT_EQ(zz.size(), 1u);
  EXPECT_DOUBLE_EQ(zz[-1].ohlcv.low, 98.0);
  zz.add(hl(110, 100));  // 12 % above, but one bar after the low: too short
  EXPECT_EQ(zz.size(), 1u);
  zz.add(hl(112, 104));  // two bars after: the LOW is final, a HIGH starts here
  ASSERT_EQ(zz.size(), 2u);
  EXPECT_EQ(zz[0], (Pivot{hl(101, 98), PivotType::LOW}));
  zz.add(hl(115, 105));  // higher: the HIGH moves
  zz.add(hl(102, 100));  // 13 % below, one bar after the high
  EXPECT_EQ(zz.size(), 2u);
  zz.add(hl(101, 99));  // two bars after: the HIGH is final
  ASSERT_EQ(zz.size(), 3u);
  EXPECT_EQ(zz[1], (Pivot{hl(115, 105), PivotType::HIGH}));
  EXPECT_EQ(zz[2], (Pivot{hl(101, 99), PivotType::LOW}));
  // The per-bar stream carries each pivot once, on the bar that made it final.
  const auto& per_bar = zz.Indicator::output_values();
  ASSERT_EQ(per_bar.size(), 7u);
  for (std::ptrdiff_t i : {0, 1, 2, 4, 5}) EXPECT_FALSE(per_bar[i]) << i;
  EXPECT_EQ(per_bar[3], (Pivot{hl(101, 98), PivotType::LOW}));
  EXPECT_EQ(per_bar[6], (Pivot{hl(115, 105), PivotType::HIGH}));

  // Removing the bar restores the provisional HIGH; removing the move restores the old one.
  zz.remove();
  ASSERT_EQ(zz.size(), 2u);
  EXPECT_DOUBLE_EQ(zz[-1].ohlcv.high, 115.0);
  zz.remove();
  zz.remove();
  ASSERT_EQ(zz.size(), 2u);
  EXPECT_DOUBLE_EQ(zz[-1].ohlcv.high, 112.0);
  // The trend length counts from the restored pivot's bar: two bars on, a drop confirms it.
  zz.add(hl(100, 99));
  EXPECT_EQ(zz.size(), 2u);
  zz.add(hl(99, 98));
  ASSERT_EQ(zz.size(), 3u);
  EXPECT_DOUBLE_EQ(zz[1].ohlcv.high, 112.0);
  for (int i = 0; i < 6; ++i) zz.remove();
  EXPECT_EQ(zz.size(), 0u);
  zz.add(hl(100, 99));  // the search opens again
  EXPECT_EQ(zz.size(), 1u);
}

TEST(PivotsHL, CandidatesStartOrMoveAlternatingPivots) {
  PivotsHL piv(3, 3);
  piv.add(hl(10, 9));  // the first bar opens the search as a LOW
  ASSERT_EQ(piv.size(), 1u);
  EXPECT_EQ(piv[0].type, PivotType::LOW);
  piv.add(hl(11, 9.5));  // highest of the window: the LOW is final, a HIGH starts
  piv.add(hl(10.5, 9.2));
  piv.add(hl(12, 10));  // higher: moves the HIGH
  piv.add(hl(11, 8));   // lowest of the newest three: the HIGH is final, a LOW starts
  ASSERT_EQ(piv.size(), 3u);
  EXPECT_DOUBLE_EQ(piv[1].ohlcv.high, 12.0);
  EXPECT_EQ(piv[2].type, PivotType::LOW);
  piv.add(hl(11.5, 8.5));  // neither
  piv.add(hl(13, 7));      // both: counts as a high, so the LOW at 8 is final
  ASSERT_EQ(piv.size(), 4u);
  EXPECT_DOUBLE_EQ(piv[2].ohlcv.low, 8.0);
  EXPECT_EQ(piv[3].type, PivotType::HIGH);
  EXPECT_DOUBLE_EQ(piv[3].ohlcv.high, 13.0);
}

TEST(Pivots, PurgeKeepsTheProvisionalPivot) {
  ZigZag zz(0.01, 1);
  for (const OHLCV& b : random_bars(500, 13)) zz.add(b);
  ASSERT_GT(zz.size(), 10u);
  const Pivot newest = zz[-1];
  const std::size_t before = zz.size();
  zz.purge_oldest(3);
  EXPECT_EQ(zz.size(), before - 3);
  zz.purge_oldest(1000);
  ASSERT_EQ(zz.size(), 1u);
  EXPECT_EQ(zz[0], newest);
  for (const OHLCV& b : random_bars(100, 14, newest.ohlcv.close)) zz.add(b);
  EXPECT_GT(zz.size(), 1u);
}

TEST(Pivots, ARemovalBringsBackThePurgedPivotTheSearchReads) {
  ZigZag zz(0.10, 2);
  for (const OHLCV& b : {hl(100, 99), hl(101, 98), hl(110, 100), hl(112, 104)}) zz.add(b);
  ASSERT_EQ(zz.size(), 2u);  // the LOW at 98, the provisional HIGH at 112
  zz.purge_oldest(1);
  zz.remove();  // the bar that started the HIGH: the LOW is provisional again
  ASSERT_EQ(zz.size(), 1u);
  EXPECT_EQ(zz[-1], (Pivot{hl(101, 98), PivotType::LOW}));
  zz.add(hl(97, 96));  // lower: the LOW moves, as without the purge
  ASSERT_EQ(zz.size(), 1u);
  EXPECT_DOUBLE_EQ(zz[-1].ohlcv.low, 96.0);
}

std::size_t minute_of(const OHLCV& b) {
  return static_cast<std::size_t>(platform::to_epoch_ms_int(*b.time) / 60000);
}

// On a long walk: pivots alternate, every confirmed swing is at least the sensitivity and the
// trend length apart, and the per-bar stream holds exactly the final pivots, in order.
TEST(ZigZag, SwingsKeepTheirRules) {
  const double sensitivity = 0.03;
  const std::size_t min_length = 4;
  ZigZag zz(sensitivity, static_cast<int>(min_length));
  for (const OHLCV& b : random_bars(5000, 23)) zz.add(b);
  const auto& p = zz.pivots();
  ASSERT_GT(p.size(), 30u);
  std::vector<Pivot> finals;
  for (const auto& v : zz.Indicator::output_values()) {
    if (v) finals.push_back(*v);
  }
  ASSERT_EQ(finals.size(), p.size() - 1);
  for (std::size_t i = 0; i + 1 < p.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(finals[i], p[static_cast<std::ptrdiff_t>(i)]);
    const Pivot& a = p[static_cast<std::ptrdiff_t>(i)];
    const Pivot& b = p[static_cast<std::ptrdiff_t>(i + 1)];
    ASSERT_NE(a.type, b.type);
    EXPECT_GE(minute_of(b.ohlcv) - minute_of(a.ohlcv), min_length);
    if (i + 2 < p.size()) {  // b is final too
      if (a.type == PivotType::HIGH) {
        EXPECT_LE(b.ohlcv.low, a.ohlcv.high * (1 - sensitivity));
      } else {
        EXPECT_GE(b.ohlcv.high, a.ohlcv.low * (1 + sensitivity));
      }
    }
  }
}

TEST(PivotsHL, EveryPivotIsTheExtremeOfItsWindow) {
  const auto bars = random_bars(3000, 29);
  PivotsHL piv(5, 8);
  for (const OHLCV& b : bars) piv.add(b);
  const auto& p = piv.pivots();
  ASSERT_GT(p.size(), 50u);
  for (std::size_t i = 0; i < p.size(); ++i) {
    const Pivot& pivot = p[static_cast<std::ptrdiff_t>(i)];
    const std::size_t at = minute_of(pivot.ohlcv) - minute_of(bars[0]);
    const std::size_t window = pivot.type == PivotType::HIGH ? 5 : 8;
    for (std::size_t k = 1; k < window && k <= at; ++k) {
      if (pivot.type == PivotType::HIGH) {
        ASSERT_LE(bars[at - k].high, pivot.ohlcv.high) << i;
      } else {
        ASSERT_GE(bars[at - k].low, pivot.ohlcv.low) << i;
      }
    }
    if (i > 0) {
      ASSERT_NE(pivot.type, p[static_cast<std::ptrdiff_t>(i - 1)].type);
    }
  }
}

}  // namespace
}  // namespace tolbu_sdk::ta::testing

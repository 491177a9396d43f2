#include "tolbu_sdk/strategy/bars.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "tolbu_sdk/errors.hpp"

using tolbu_sdk::ValueError;
using tolbu_sdk::strategy::Bar;
using tolbu_sdk::strategy::Bars;

namespace {

// Bar n: close n, open n - 0.5, high n + 1, low n - 1, volume 10 n.
Bar bar(int n) {
  const double c = n;
  return Bar{
      "X",   tolbu_sdk::platform::LocalDateTime{std::chrono::seconds(n)}, c - 0.5, c + 1, c - 1, c,
      10 * c};
}

std::vector<Bar> bars_upto(int n) {
  std::vector<Bar> out;
  for (int i = 1; i <= n; ++i) out.push_back(bar(i));
  return out;
}

Bars filled(int n, int capacity = 1000) {
  Bars b(capacity);
  for (int i = 1; i <= n; ++i) b.add(bar(i));
  return b;
}

}  // namespace

TEST(Bars, IndexingCountsBackFromTheNewestWithEitherSign) {
  Bars b = filled(3);
  EXPECT_EQ(*b[0], bar(3));
  EXPECT_EQ(b.current(), b[0]);
  EXPECT_EQ(*b[-1], bar(2));
  EXPECT_EQ(b[1], b[-1]);
  EXPECT_EQ(b.previous(), b[-1]);
  EXPECT_EQ(*b[-2], bar(1));
  EXPECT_EQ(*b[2], bar(1));
  EXPECT_EQ(b[-3], std::nullopt);
  EXPECT_EQ(b[3], std::nullopt);
  EXPECT_EQ(b[std::numeric_limits<std::int64_t>::min()], std::nullopt);
  EXPECT_EQ(b[std::numeric_limits<std::int64_t>::max()], std::nullopt);
}

TEST(Bars, BarsReadEarlierStayValidWhileTheHistoryChanges) {
  // Growing: the storage moves as it grows.
  Bars growing;
  growing.add(bar(1));
  const auto first = growing.current();
  for (int i = 2; i <= 100; ++i) growing.add(bar(i));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->close, 1);

  // At capacity: the ring reuses the oldest slot for the newest bar, then load replaces it.
  Bars full = filled(3, 3);
  const auto oldest = full[2];
  const auto newest = full.current();
  const auto prev = full.previous();
  full.add(bar(4));
  EXPECT_EQ(oldest->close, 1);
  full.update(bar(5));
  EXPECT_EQ(newest->close, 3);
  full.load(bars_upto(2));
  EXPECT_EQ(prev->close, 2);
  EXPECT_EQ(*oldest, bar(1));

  // A bar read from the history is the caller's own: changing it leaves the history alone.
  auto mine = full.current();
  mine->close = 99;
  EXPECT_EQ(full.closes(1), std::vector<double>{2});
}

TEST(Bars, EmptyHistoryAnswersAbsentAndZero) {
  Bars b;
  EXPECT_EQ(b[0], std::nullopt);
  EXPECT_EQ(b.current(), std::nullopt);
  EXPECT_EQ(b.previous(), std::nullopt);
  EXPECT_TRUE(b.closes().empty() && b.volumes(5).empty());
  EXPECT_EQ(b.highest(3) + b.lowest(0) + b.sma(3) + b.ema(3) + b.ema(0), 0.0);
  EXPECT_EQ(filled(1).previous(), std::nullopt);
}

TEST(Bars, RingKeepsTheNewestAcrossManyWraps) {
  Bars b = filled(3, 3);
  b.add(bar(4));
  EXPECT_EQ(b.count(), 3u);
  EXPECT_EQ(*b[2], bar(2));
  // After many wraps the order is still chronological, in every view.
  for (int i = 5; i <= 1003; ++i) b.add(bar(i));
  EXPECT_EQ(b.closes(), (std::vector<double>{1001, 1002, 1003}));
  std::vector<double> seen;
  for (const Bar& x : b) seen.push_back(x.close);
  EXPECT_EQ(seen, b.closes());
  EXPECT_EQ(*b[-2], bar(1001));
  EXPECT_EQ(b.sma(0), 1002);
  b.update(bar(7));
  EXPECT_EQ(b.closes(), (std::vector<double>{1001, 1002, 7}));
  EXPECT_EQ(b.count(), 3u);
}

TEST(Bars, UpdateReplacesTheNewestOrAppendsWhenEmpty) {
  Bars b;
  b.update(bar(1));
  EXPECT_EQ(b.count(), 1u);
  b.update(bar(2));
  EXPECT_EQ(b.count(), 1u);
  EXPECT_EQ(*b[0], bar(2));
  // update never trims, and after update the ring still wraps correctly.
  Bars r = filled(2, 2);
  r.update(bar(9));
  r.add(bar(10));
  EXPECT_EQ(r.closes(), (std::vector<double>{9, 10}));
}

TEST(Bars, LoadCopiesTheNewestEntries) {
  std::vector<Bar> many = bars_upto(1500);
  Bars b;
  b.add(bar(42));
  b.load(many);
  EXPECT_EQ(b.count(), 1000u);
  EXPECT_EQ(*b[0], many.back());
  EXPECT_EQ(*b[-999], bar(501));
  many.back().close = -1;  // the caller's sequence is not shared
  EXPECT_EQ(b[0]->close, 1500);
  // Loading a sub-range and adding past capacity afterwards.
  Bars small(3);
  small.load(std::span<const Bar>(many).subspan(10, 2));
  EXPECT_EQ(small.closes(), (std::vector<double>{11, 12}));
  small.add(bar(100));
  small.add(bar(101));
  EXPECT_EQ(small.closes(), (std::vector<double>{12, 100, 101}));
}

TEST(Bars, CapacityZeroKeepsEverything) {
  Bars b = filled(2500, 0);
  EXPECT_EQ(b.count(), 2500u);
  EXPECT_EQ(*b[-2499], bar(1));
  b.load(bars_upto(3000));
  EXPECT_EQ(b.count(), 3000u);
  EXPECT_THROW(Bars(-1), ValueError);
}

TEST(Bars, SeriesWindows) {
  Bars b = filled(5);
  EXPECT_EQ(b.closes(2), (std::vector<double>{4, 5}));
  EXPECT_EQ(b.closes(0), (std::vector<double>{1, 2, 3, 4, 5}));
  EXPECT_EQ(b.closes(), b.closes(50));
  EXPECT_EQ(b.opens(1), std::vector<double>{4.5});
  EXPECT_EQ(b.highs(2), (std::vector<double>{5, 6}));
  EXPECT_EQ(b.lows(2), (std::vector<double>{3, 4}));
  EXPECT_EQ(b.volumes(2), (std::vector<double>{40, 50}));
  EXPECT_THROW(b.closes(-1), ValueError);
  EXPECT_THROW(b.sma(-2), ValueError);
}

TEST(Bars, Statistics) {
  Bars b = filled(5);
  EXPECT_EQ(b.sma(3), 4);
  EXPECT_EQ(b.sma(10), 3);
  EXPECT_EQ(b.sma(0), 3);
  EXPECT_EQ(b.ema(3), 4.25);  // k 0.5 over 3, 4, 5: 3 -> 3.5 -> 4.25
  EXPECT_EQ(b.ema(1), 5);     // a window of one close
  // k from the period, not the window: ema(9) over five closes uses k = 0.2.
  double e = 1;
  for (double p : {2.0, 3.0, 4.0, 5.0}) e = p * 0.2 + e * 0.8;
  EXPECT_DOUBLE_EQ(b.ema(9), e);
  // period 0: k from the number of bars (5 -> k = 1/3), an average inside the closes' range.
  double z = 1;
  for (double p : {2.0, 3.0, 4.0, 5.0}) z = p * (2.0 / 6) + z * (1 - 2.0 / 6);
  EXPECT_DOUBLE_EQ(b.ema(0), z);
  // highest and lowest look at the newest bars only.
  b.add(Bar{"X", {}, 1, 2, 0.5, 1, 0});
  EXPECT_EQ(b.highest(2), 6);
  EXPECT_EQ(b.lowest(2), 0.5);
  EXPECT_EQ(b.highest(1), 2);
  EXPECT_EQ(b.lowest(0), 0);  // bar 1's low
}

TEST(Bars, EqualityComparesCapacityAndBars) {
  Bars loaded(3);
  loaded.load(bars_upto(4));
  EXPECT_EQ(filled(4, 3), loaded);  // same bars, different ring layouts
  EXPECT_NE(filled(3, 3), filled(3, 4));
  EXPECT_NE(filled(3), filled(2));
}

TEST(Bars, StatisticsOverAWindowThatStraddlesTheRingWrap) {
  Bars wrapped = filled(8, 5);  // holds bars 4..8, oldest in the middle of the storage
  Bars flat(5);
  flat.load(bars_upto(8));
  for (int period : {0, 1, 3, 4, 5, 9}) {
    EXPECT_EQ(wrapped.sma(period), flat.sma(period)) << period;
    EXPECT_EQ(wrapped.ema(period), flat.ema(period)) << period;
    EXPECT_EQ(wrapped.highest(period), flat.highest(period)) << period;
    EXPECT_EQ(wrapped.lowest(period), flat.lowest(period)) << period;
  }
  EXPECT_EQ(wrapped.sma(4), 6.5);
}

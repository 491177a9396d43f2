#include "tolbu_sdk/strategy/symbol.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "tolbu_sdk/errors.hpp"

using tolbu_sdk::ValueError;
using tolbu_sdk::strategy::Bar;
using tolbu_sdk::strategy::DepthPair;
using tolbu_sdk::strategy::Symbol;
namespace types = tolbu_sdk::types;

TEST(Symbol, DefaultsAndIndependentContainers) {
  Symbol a{"FPT"};
  EXPECT_EQ(a.bars.max_bars(), 1000);
  EXPECT_EQ(a.spread_pct(), 0);

  Symbol b{.name = "VNM", .tick_size = 0.1};
  a.bars.add(Bar{"FPT", {}, 1, 1, 1, 1, 1});
  a.bid_depth.push_back({1, 1});
  EXPECT_TRUE(b.bars.empty());
  EXPECT_TRUE(b.bid_depth.empty());
  EXPECT_NE(a, Symbol{"FPT"});
}

TEST(Symbol, SpreadValues) {
  Symbol s{"X"};
  s.bid = 99;
  s.ask = 101;
  EXPECT_EQ(s.spread(), 2);
  EXPECT_EQ(s.mid_price(), 100);
  EXPECT_EQ(s.spread_pct(), 2);
  s.bid = -1;
  s.ask = 1;
  EXPECT_EQ(s.spread_pct(), 0);
}

TEST(Symbol, UpdatesFromRecords) {
  Symbol s{"FPT"};
  s.update_from_stat({"FPT", 0, 95.5, 95.4, 95.6, 12000, 94, 96, 93.5, 95.1, 1.5, 1.6});
  const double got[] = {s.last_price, s.bid,       s.ask,         s.volume, s.open_price,
                        s.high_price, s.low_price, s.close_price, s.change, s.change_pct};
  EXPECT_EQ(std::vector<double>(std::begin(got), std::end(got)),
            (std::vector<double>{95.5, 95.4, 95.6, 12000, 94, 96, 93.5, 95.1, 1.5, 1.6}));

  types::ProductInfo info;
  info.symbol = "FPT";
  info.tick_size = 0.05;
  info.lot_size = 100;
  info.currency = "USD";
  types::ProductMaster master{"FPT"};
  Symbol before = s;
  s.update_from_master(master);  // no info: unchanged
  EXPECT_EQ(s, before);
  master.info = info;
  s.update_from_master(master);
  EXPECT_EQ(s.tick_size, 0.05);
  EXPECT_EQ(s.lot_size, 100);
  EXPECT_EQ(s.currency, "USD");
}

TEST(Symbol, DepthKeepsFiveLevelsAndLeavesAnEmptySidesPrice) {
  Symbol s{"X"};
  s.ask = 77;
  types::Depth d{"X"};
  for (int i = 0; i < 7; ++i) d.bid_price_depth.push_back({100.0 - i, 10.0 + i});
  s.ask_depth = {{1, 1}};
  s.update_from_depth(d);
  ASSERT_EQ(s.bid_depth.size(), 5u);
  EXPECT_EQ(s.bid_depth.front(), (DepthPair{100, 10}));
  EXPECT_EQ(s.bid_depth.back(), (DepthPair{96, 14}));
  EXPECT_EQ(s.bid, 100);
  EXPECT_TRUE(s.ask_depth.empty());
  EXPECT_EQ(s.ask, 77);
}

TEST(Symbol, NormalizePriceRoundsHalvesToEven) {
  Symbol s{"X"};
  EXPECT_EQ(s.normalize_price(10.123), 1012 * 0.01);
  s.tick_size = 0.5;
  EXPECT_EQ(s.normalize_price(10.25), 10.0);  // 20.5 steps -> 20
  EXPECT_EQ(s.normalize_price(10.75), 11.0);  // 21.5 steps -> 22
  EXPECT_EQ(s.normalize_price(-10.25), -10.0);
  EXPECT_THROW(s.normalize_price(std::numeric_limits<double>::quiet_NaN()), ValueError);
  EXPECT_THROW(s.normalize_price(std::numeric_limits<double>::infinity()), ValueError);
  s.tick_size = 1e-300;
  EXPECT_THROW(s.normalize_price(1e300), ValueError);  // too many steps for a double
  for (double tick : {0.0, -1.0}) {
    s.tick_size = tick;
    EXPECT_EQ(s.normalize_price(10.123), 10.123);
  }
}

TEST(Symbol, NormalizeQuantityLotsAndLimits) {
  Symbol s{.name = "X", .lot_size = 100, .min_qty = 100, .max_qty = 500};
  EXPECT_EQ(s.normalize_quantity(250), 200);
  EXPECT_EQ(s.normalize_quantity(99), 0);
  EXPECT_EQ(s.normalize_quantity(1234), 500);
  EXPECT_EQ(s.normalize_quantity(-250), 0);  // below the minimum

  Symbol d{"X"};
  EXPECT_EQ(d.normalize_quantity(0.9), 0);
  EXPECT_EQ(d.normalize_quantity(7.8), 7);
  EXPECT_EQ(d.normalize_quantity(5e6), 1000000);

  d.lot_size = 0;
  EXPECT_EQ(d.normalize_quantity(2.9), 2);
  EXPECT_EQ(d.normalize_quantity(-2.9), -2);
  EXPECT_EQ(d.normalize_quantity(5e6), 5000000);  // no limits without a lot size

  // Conversions that would be undefined for a plain cast are errors.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (int lot : {0, 1, 100}) {
    d.lot_size = lot;
    EXPECT_THROW(d.normalize_quantity(nan), ValueError) << lot;
    EXPECT_THROW(d.normalize_quantity(inf), ValueError) << lot;
    EXPECT_THROW(d.normalize_quantity(-inf), ValueError) << lot;
    EXPECT_THROW(d.normalize_quantity(1e19 * (lot > 0 ? lot : 1)), ValueError) << lot;
  }
  d.lot_size = 3;
  EXPECT_THROW(d.normalize_quantity(9.3e18), ValueError);  // steps fit, steps * lot does not
  d.lot_size = 0;
  EXPECT_EQ(d.normalize_quantity(-9223372036854775808.0), std::numeric_limits<std::int64_t>::min());
}

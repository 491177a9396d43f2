#include "tolbu_sdk/strategy/symbol.hpp"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/types/records.hpp"

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
  EXPECT_EQ(s.normalize_price(10.123), 10.12);
  s.tick_size = 0.5;
  EXPECT_EQ(s.normalize_price(10.25), 10.0);  // 20.5 steps -> 20
  EXPECT_EQ(s.normalize_price(10.75), 11.0);  // 21.5 steps -> 22
  EXPECT_EQ(s.normalize_price(-10.25), -10.0);
  EXPECT_THROW(s.normalize_price(std::numeric_limits<double>::quiet_NaN()), ValueError);
  EXPECT_THROW(s.normalize_price(std::numeric_limits<double>::infinity()), ValueError);
  // Ticks without a short decimal form still give the nearest grid point.
  s.tick_size = 1e20;
  EXPECT_EQ(s.normalize_price(3.4e20), 3e20);
  s.tick_size = 1e-30;
  EXPECT_EQ(s.normalize_price(2.5e-30), 2e-30);
  s.tick_size = 1.0 / 3;
  EXPECT_DOUBLE_EQ(s.normalize_price(1.1), 1.0);
  s.tick_size = 1e-300;
  EXPECT_THROW(s.normalize_price(1e300), ValueError);  // too many steps for a double
  for (double tick : {0.0, -1.0}) {
    s.tick_size = tick;
    EXPECT_EQ(s.normalize_price(10.123), 10.123);
  }
}

namespace {

// The decimal text of steps * tick for a tick given as mantissa * 10^-decimals, built with
// integers only.
std::string decimal_product(long long steps, long long mantissa, int decimals) {
  const long long units = steps * mantissa;
  std::string digits = std::to_string(units < 0 ? -units : units);
  if (decimals > 0) {
    if (digits.size() <= static_cast<std::size_t>(decimals))
      digits.insert(0, static_cast<std::size_t>(decimals) + 1 - digits.size(), '0');
    digits.insert(digits.size() - static_cast<std::size_t>(decimals), ".");
  }
  return (units < 0 ? "-" : "") + digits;
}

struct Tick {
  double size;
  long long mantissa;
  int decimals;
};
const Tick TICKS[] = {{0.1, 1, 1},   {0.05, 5, 2},  {0.01, 1, 2}, {0.5, 5, 1},
                      {0.25, 25, 2}, {0.001, 1, 3}, {5.0, 5, 0},  {100.0, 100, 0}};

// Prices k / 100, made in the default rounding mode.
std::vector<double> sweep_prices() {
  std::vector<double> out;
  for (int k = -20000; k <= 200000; k += 7) out.push_back(k / 100.0);
  return out;
}

std::vector<double> sweep_results(Symbol& s, const std::vector<double>& prices) {
  std::vector<double> out;
  for (const Tick& t : TICKS) {
    s.tick_size = t.size;
    for (const double p : prices) out.push_back(s.normalize_price(p));
  }
  return out;
}

}  // namespace

TEST(Symbol, NormalizePriceLandsOnTheDecimalGrid) {
  Symbol s{"X"};
  s.tick_size = 0.1;
  EXPECT_EQ(fmt::format("{}", s.normalize_price(1262.34)), "1262.3");
  s.tick_size = 0.05;
  EXPECT_EQ(fmt::format("{}", s.normalize_price(95.03)), "95.05");

  int off_grid = 0;
  for (const Tick& t : TICKS) {
    s.tick_size = t.size;
    for (int k = -20000; k <= 200000; k += 7) {
      const double price = k / 100.0;
      // Steps as the plain algorithm counts them; the product is read back from its decimal
      // text, which the C library converts to the nearest double.
      const auto steps = static_cast<long long>(std::nearbyint(price / t.size));
      const std::string text = decimal_product(steps, t.mantissa, t.decimals);
      const double got = s.normalize_price(price);
      if (got != std::strtod(text.c_str(), nullptr) && ++off_grid <= 5)
        ADD_FAILURE() << price << " on tick " << t.size << ": " << fmt::format("{}", got)
                      << ", want " << text;
    }
  }
  EXPECT_EQ(off_grid, 0);
}

TEST(Symbol, NormalizePriceIgnoresTheRoundingMode) {
  Symbol s{"X"};
  s.tick_size = 1;
  const std::vector<double> halves = {2.5, 3.5, -2.5, 0.5, 1e15 + 0.5};
  const std::vector<double> want = {2, 4, -2, 0, 1e15};
  s.tick_size = 0.1;
  const double tricky = s.normalize_price(0.35);  // 0.35 / 0.1 is just below 3.5
  EXPECT_EQ(tricky, 0.3);
  const std::vector<double> prices = sweep_prices();
  const std::vector<double> reference = sweep_results(s, prices);

  for (const int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    // No assertion inside the changed mode: the test's own arithmetic would follow it.
    std::vector<double> got_halves;
    ASSERT_EQ(std::fesetround(mode), 0);
    s.tick_size = 1;
    for (const double h : halves) got_halves.push_back(s.normalize_price(h));
    s.tick_size = 0.1;
    const double got_tricky = s.normalize_price(0.35);
    const std::vector<double> got = sweep_results(s, prices);
    std::fesetround(FE_TONEAREST);

    EXPECT_EQ(got_halves, want) << "mode " << mode;
    EXPECT_EQ(got_tricky, tricky) << "mode " << mode;
    std::size_t differ = 0;
    for (std::size_t i = 0; i < got.size(); ++i) differ += got[i] != reference[i];
    EXPECT_EQ(differ, 0u) << "mode " << mode;
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
}

TEST(Symbol, NormalizeQuantityClampsEveryNumberButNaN) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  Symbol d{"X"};
  for (int lot : {1, 3, 100}) {
    d.lot_size = lot;
    EXPECT_THROW(d.normalize_quantity(nan), ValueError) << lot;
    EXPECT_EQ(d.normalize_quantity(1e19), 1000000) << lot;
    EXPECT_EQ(d.normalize_quantity(9.3e18), 1000000) << lot;  // steps fit, steps * lot does not
    EXPECT_EQ(d.normalize_quantity(1e300), 1000000) << lot;
    EXPECT_EQ(d.normalize_quantity(inf), 1000000) << lot;
    EXPECT_EQ(d.normalize_quantity(-1e19), 0) << lot;
    EXPECT_EQ(d.normalize_quantity(-inf), 0) << lot;
  }
  // Without a lot size the truncated quantity saturates at the 64-bit range.
  const auto max = std::numeric_limits<std::int64_t>::max();
  const auto min = std::numeric_limits<std::int64_t>::min();
  d.lot_size = 0;
  EXPECT_THROW(d.normalize_quantity(nan), ValueError);
  EXPECT_EQ(d.normalize_quantity(1e19), max);
  EXPECT_EQ(d.normalize_quantity(inf), max);
  EXPECT_EQ(d.normalize_quantity(-1e19), min);
  EXPECT_EQ(d.normalize_quantity(-inf), min);
  EXPECT_EQ(d.normalize_quantity(-9223372036854775808.0), min);
  EXPECT_EQ(d.normalize_quantity(9007199254740993.0), 9007199254740992);
}

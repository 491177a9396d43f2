// The strategy-side headers compile on their own, without Boost.JSON, Asio or {fmt}'s
// formatting engine, and what they define works from them alone.

#include "tolbu_sdk/strategy/bar.hpp"
#include "tolbu_sdk/strategy/bars.hpp"
#include "tolbu_sdk/strategy/position.hpp"
#include "tolbu_sdk/strategy/symbol.hpp"

#if defined(BOOST_JSON_FWD_HPP) || defined(BOOST_JSON_VALUE_HPP)
#error "the strategy headers must not include Boost.JSON"
#endif
#if defined(BOOST_JSON_VALUE_HPP) || defined(BOOST_JSON_OBJECT_HPP) || \
    defined(BOOST_JSON_ARRAY_HPP) || defined(BOOST_JSON_STRING_HPP) || \
    defined(BOOST_JSON_STORAGE_PTR_HPP)
#error "a strategy header includes Boost.JSON's value types"
#endif
#if defined(BOOST_ASIO_DETAIL_CONFIG_HPP)
#error "a strategy header includes Asio"
#endif
#if defined(FMT_FORMAT_H_) || defined(FMT_CORE_H_)
#error "a strategy header includes {fmt}"
#endif

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

namespace {

using tolbu_sdk::platform::make_local;
using tolbu_sdk::strategy::Bar;
using tolbu_sdk::strategy::Bars;
using tolbu_sdk::strategy::Position;
using tolbu_sdk::strategy::PositionSide;
using tolbu_sdk::strategy::Symbol;

TEST(StrategyHeaders, BarShapesWithoutTheMathHeaders) {
  const Bar up{"FPT", make_local(2024, 1, 2, 9), 10, 14, 8, 12, 100};
  EXPECT_EQ(up.body(), 2);
  EXPECT_EQ(up.upper_wick(), 2);
  EXPECT_EQ(up.lower_wick(), 2);
  const Bar down{"FPT", make_local(2024, 1, 2, 9), 12, 13, 9, 10, 100};
  EXPECT_EQ(down.body(), 2);
  EXPECT_EQ(down.upper_wick(), 1);
  EXPECT_EQ(down.lower_wick(), 1);
  EXPECT_TRUE(down.is_bearish());
}

TEST(StrategyHeaders, SymbolKeepsHistoryAndRules) {
  Symbol fpt{.name = "FPT", .tick_size = 0.05, .lot_size = 100};
  fpt.bars = Bars(2);
  for (int i = 1; i <= 3; ++i)
    fpt.bars.add(Bar{"FPT", make_local(2024, 1, 2, 9, i), 1.0 * i, 1.0 * i, 1.0 * i, 1.0 * i, 1});
  EXPECT_EQ(fpt.bars.size(), 2u);
  EXPECT_EQ(fpt.bars.sma(0), 2.5);
  EXPECT_EQ(fpt.normalize_price(95.03), 95.05);
  EXPECT_EQ(fpt.normalize_quantity(250), 200);
}

TEST(StrategyHeaders, PositionLifecycleWithoutJson) {
  Position p("p1", "FPT", PositionSide::LONG, 100, 95.0, make_local(2024, 1, 2, 9),
             {.stop_loss = 93.0, .take_profit = 99.0});
  p.update_price(99.5);
  EXPECT_TRUE(p.should_take_profit());
  EXPECT_FALSE(p.should_stop_loss());
  EXPECT_EQ(p.close(99.5), 450.0);
  EXPECT_EQ(p.quantity, std::int64_t{0});
}

}  // namespace

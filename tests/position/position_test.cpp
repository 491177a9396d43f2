#include "tolbu_sdk/strategy/position.hpp"

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <chrono>
#include <string>
#include <vector>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/json.hpp"

using namespace std::chrono_literals;
using tolbu_sdk::ValueError;
using tolbu_sdk::platform::make_local;
using tolbu_sdk::platform::now_local;
using tolbu_sdk::strategy::ClosedPosition;
using tolbu_sdk::strategy::Position;
using tolbu_sdk::strategy::PositionOptions;
using tolbu_sdk::strategy::PositionSide;

namespace {
const auto T0 = make_local(2024, 3, 1, 9, 15, 0);

Position long10(PositionOptions o = {}) {
  return Position("p1", "FPT", PositionSide::LONG, 10, 100.0, T0, std::move(o));
}
Position short10(PositionOptions o = {}) {
  return Position("p2", "FPT", PositionSide::SHORT, 10, 100.0, T0, std::move(o));
}
// should_stop_loss / should_take_profit after each price.
std::vector<bool> stops(Position p, std::initializer_list<double> prices) {
  std::vector<bool> out;
  for (double price : prices) {
    p.update_price(price);
    out.push_back(p.should_stop_loss());
  }
  return out;
}
std::vector<bool> targets(Position p, std::initializer_list<double> prices) {
  std::vector<bool> out;
  for (double price : prices) {
    p.update_price(price);
    out.push_back(p.should_take_profit());
  }
  return out;
}
}  // namespace

TEST(PositionSide, TextValues) {
  EXPECT_TRUE(PositionSide::LONG == "LONG");
  EXPECT_TRUE("SHORT" == PositionSide::SHORT);
  EXPECT_EQ(tolbu_sdk::strategy::position_side_from("SHORT"), PositionSide::SHORT);
  EXPECT_THROW(tolbu_sdk::strategy::position_side_from("BUY"), ValueError);
}

TEST(Position, ConstructionStartsAtTheEntryPrice) {
  Position p("p", "X", PositionSide::LONG, 5, 50.0, T0, 1.0, 2.0, 3.0, 4.0, 45.0, 60.0, true, 1.5,
             999.0, -999.0, "a", "acc", "o");
  EXPECT_EQ(p.current_price, 50.0);
  EXPECT_EQ(p.highest_price, 50.0);
  EXPECT_EQ(p.lowest_price, 50.0);
  EXPECT_EQ(p.realized_pnl, 3.0);  // kept
  Position q = long10({.point_value = 2, .stop_loss = 95, .account_id = "acc"});
  EXPECT_EQ(q, Position("p1", "FPT", PositionSide::LONG, 10, 100.0, T0, 0, 0, 0, 2, 95.0,
                        std::nullopt, false, 0, 0, 0, "", "acc", ""));
}

TEST(Position, UpdatePriceBothSides) {
  Position l = long10();
  l.update_price(105);
  EXPECT_EQ(l.unrealized_pnl, 50);
  EXPECT_EQ(l.highest_price, 105);
  EXPECT_EQ(l.lowest_price, 100);
  EXPECT_EQ(l.pnl_percent(), 5.0);
  EXPECT_EQ(l.market_value(), 1050);
  l.update_price(97);
  EXPECT_EQ(l.unrealized_pnl, -30);
  EXPECT_EQ(l.highest_price, 105);
  EXPECT_EQ(l.lowest_price, 97);

  Position s = short10({.point_value = 3});
  s.update_price(95);
  EXPECT_EQ(s.unrealized_pnl, 150);
  EXPECT_EQ(s.lowest_price, 95);
}

TEST(Position, StopsAndTargetsAreInclusive) {
  using V = std::vector<bool>;
  EXPECT_EQ(stops(long10({.stop_loss = 95}), {95.01, 95.0}), (V{false, true}));
  EXPECT_EQ(stops(short10({.stop_loss = 105}), {104.9, 105}), (V{false, true}));
  EXPECT_EQ(stops(long10(), {50}), V{false});
  EXPECT_EQ(targets(long10({.take_profit = 110}), {109.99, 110}), (V{false, true}));
  EXPECT_EQ(targets(short10({.take_profit = 90}), {90.5, 90, 89}), (V{false, true, true}));
  EXPECT_EQ(targets(long10(), {1e9}), V{false});
}

TEST(Position, TrailingStopFollowsTheBestPrice) {
  using V = std::vector<bool>;
  PositionOptions trail{.stop_loss = 90, .trailing_stop = true, .trailing_stop_distance = 2};
  EXPECT_EQ(stops(long10(trail), {104, 103, 102}), (V{false, false, true}));  // level 102
  // The fixed level is not compared while trailing: 98.5 is below a stop of 99 but above the
  // trailing level of 98.
  trail.stop_loss = 99;
  EXPECT_EQ(stops(long10(trail), {98.5}), V{false});
  trail.stop_loss.reset();  // no stop: trailing never triggers
  EXPECT_EQ(stops(long10(trail), {104, 103, 102, 50}), (V{false, false, false, false}));
  trail.stop_loss = 1000;
  EXPECT_EQ(stops(short10(trail), {96, 97.9, 98}), (V{false, false, true}));  // level 98
}

TEST(Position, CloseRealisesAndZeroes) {
  Position p = long10({.point_value = 2});
  p.realized_pnl = 7;  // replaced, not added to
  p.update_price(104);
  EXPECT_EQ(p.close(110), 200);
  const double after[] = {p.realized_pnl, p.unrealized_pnl, double(p.quantity), p.current_price,
                          p.pnl(),        p.pnl_percent(),  p.market_value(),   p.highest_price};
  EXPECT_EQ(std::vector<double>(std::begin(after), std::end(after)),
            (std::vector<double>{200, 0, 0, 110, 200, 0, 0, 104}));  // extremes stay
  p.update_price(120);
  EXPECT_EQ(p.unrealized_pnl, 0);
  EXPECT_EQ(p.close(130), 0);
  EXPECT_EQ(p.realized_pnl, 0);

  Position s = short10();
  EXPECT_EQ(s.close(90), 100);
  Position zero("z", "X", PositionSide::LONG, 10, 0.0, T0);
  zero.update_price(5);
  EXPECT_EQ(zero.pnl_percent(), 0.0);
}

TEST(Position, ToDictKeysOrderAndTimeText) {
  Position p = long10();
  boost::json::object d = p.to_dict();
  EXPECT_EQ(tolbu_sdk::platform::to_json_text(d),
            R"({"id": "p1", "symbol": "FPT", "side": "LONG", "quantity": 10, )"
            R"("entry_price": 100.0, "entry_time": "2024-03-01T09:15:00", "current_price": 100.0, )"
            R"("unrealized_pnl": 0.0, "realized_pnl": 0.0, "pnl_percent": 0.0, )"
            R"("stop_loss": null, "take_profit": null, "trailing_stop": false})");

  Position q = short10({.stop_loss = 101.5});
  q.entry_time = make_local(2024, 3, 1, 9, 15, 0, 1500);
  q.update_price(99);
  boost::json::object e = q.to_dict();
  EXPECT_EQ(e.at("entry_time"), "2024-03-01T09:15:00.001500");
  EXPECT_EQ(e.at("side"), "SHORT");
  EXPECT_EQ(e.at("stop_loss"), 101.5);
  EXPECT_EQ(e.at("pnl_percent"), 1.0);
  q.side = static_cast<PositionSide>(7);
  EXPECT_THROW(q.to_dict(), ValueError);
}

TEST(ClosedPosition, FromPositionArithmetic) {
  Position p = long10();
  p.update_price(104);
  ClosedPosition c = ClosedPosition::from_position(p, 110);
  EXPECT_EQ(c.pnl, 100);
  EXPECT_EQ(c.pnl_percent, 10.0);
  EXPECT_EQ(c.exit_price, 110);
  EXPECT_EQ(c.entry_time, T0);
  // The position is only read.
  EXPECT_EQ(p.quantity, 10);
  EXPECT_EQ(p.current_price, 104);
  EXPECT_EQ(p.realized_pnl, 0);

  ClosedPosition c2 = ClosedPosition::from_position(p, 110, 2.0);
  EXPECT_EQ(c2.pnl, 200);
  EXPECT_EQ(c2.pnl_percent, 10.0);

  Position s = short10();
  EXPECT_EQ(ClosedPosition::from_position(s, 90).pnl, 100);
  ClosedPosition loss = ClosedPosition::from_position(s, 110);
  EXPECT_EQ(loss.pnl, -100);
  EXPECT_EQ(loss.pnl_percent, -10.0);

  Position free("f", "X", PositionSide::LONG, 10, 0.0, T0);
  EXPECT_EQ(ClosedPosition::from_position(free, 5).pnl_percent, 0.0);
  // A negative entry value gives a percentage on the position but 0 on the record.
  Position neg("n", "X", PositionSide::LONG, 10, -10.0, T0);
  neg.update_price(-5);
  EXPECT_EQ(neg.pnl_percent(), -50.0);
  EXPECT_EQ(ClosedPosition::from_position(neg, -5).pnl_percent, 0.0);
  // Made after close: nothing left.
  p.close(110);
  ClosedPosition late = ClosedPosition::from_position(p, 110);
  EXPECT_EQ(late.quantity, 0);
  EXPECT_EQ(late.pnl, 0);
  EXPECT_EQ(late.pnl_percent, 0);
}

TEST(ClosedPosition, DurationsFromTheLocalClock) {
  const auto entry = std::chrono::floor<std::chrono::microseconds>(now_local()) - 1500ms;
  Position p("p", "X", PositionSide::LONG, 1, 1.0, entry);
  ClosedPosition c = ClosedPosition::from_position(p, 1.0);
  EXPECT_GE(c.duration_seconds, 1.5);
  EXPECT_LT(c.duration_seconds, 60.0);
  EXPECT_DOUBLE_EQ(c.duration_seconds,
                   tolbu_sdk::platform::seconds_between(c.entry_time, c.exit_time));
  EXPECT_GE(p.duration(), c.duration_seconds);
}

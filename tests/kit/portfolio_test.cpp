// The kit's accounting: sides in every spelling, fills from cumulative execution reports
// (each once), and positions netted per symbol with fees.

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/kit/order_rules.hpp"
#include "tolbu_sdk/kit/portfolio.hpp"

namespace {

namespace json = boost::json;
using namespace tolbu_sdk::kit;

TEST(KitSide, EverySpellingAndItsConversions) {
  for (const char* text : {"B", "b", "BUY", "buy", "Buy"}) EXPECT_EQ(parse_side(text), Side::BUY);
  for (const char* text : {"S", "s", "SELL", "sell"}) EXPECT_EQ(parse_side(text), Side::SELL);
  for (const char* text : {"", "LONG", "X", "BUYS"}) {
    EXPECT_THROW(parse_side(text), tolbu_sdk::ValueError) << text;
  }
  EXPECT_EQ(to_backend(Side::SELL), "S");
  EXPECT_EQ(to_string(Side::BUY), "BUY");
  EXPECT_EQ(position_side(Side::SELL), tolbu_sdk::strategy::PositionSide::SHORT);
  EXPECT_EQ(closing_side(tolbu_sdk::strategy::PositionSide::LONG), Side::SELL);
}

json::value report(const char* id, std::int64_t qty, std::int64_t filled, double avg,
                   std::optional<double> fee = std::nullopt, const char* side = "B") {
  json::object o{{"orderID", id},   {"symbol", "HPG"},     {"side", side},
                 {"price", 0.0},    {"qty", qty},          {"filledQty", filled},
                 {"avgPrice", avg}, {"status", "PARTIALLY_FILLED"}, {"updatedTime", filled}};
  if (fee) o["fee"] = *fee;
  return o;
}

TEST(KitFills, EachQuantityIsFilledOnceAtItsOwnPrice) {
  FillTracker tracker;  // 0.1 % of the value when the back end gives no fee
  std::vector<Fill> fills;
  const json::value reports[] = {
      report("O1", 10, 0, 0.0),        // accepted, nothing filled
      report("O1", 10, 4, 100.0),      // 4 at 100
      report("O1", 10, 4, 100.0),      // the same report again
      report("O1", 10, 10, 102.4),     // 6 more at 104
      report("O1", 10, 4, 100.0),      // an older one, late
      report("O2", 5, 5, 50.0, 1.25),  // the back end's fee
  };
  for (const auto& r : reports) {
    if (auto fill = tracker.apply(ExecutionReport::from_dict(r))) fills.push_back(*fill);
  }
  ASSERT_EQ(fills.size(), 3u);
  EXPECT_EQ(fills[0].qty, 4);
  EXPECT_DOUBLE_EQ(fills[0].price, 100.0);
  EXPECT_DOUBLE_EQ(fills[0].fee, 0.4);
  EXPECT_EQ(fills[1].qty, 6);
  EXPECT_NEAR(fills[1].price, 104.0, 1e-9);
  EXPECT_DOUBLE_EQ(fills[1].fee, 0.62);  // 624 x 0.1 %, to the cent
  EXPECT_DOUBLE_EQ(fills[2].fee, 1.25);
  EXPECT_EQ(tracker.filled("O1"), 10);
  EXPECT_THROW(tracker.apply(ExecutionReport::from_dict(report("O3", 1, 2, 1.0))),
               tolbu_sdk::ValueError);
  EXPECT_THROW(ExecutionReport::from_dict(report("O4", 1, 1, 1.0, {}, "LONG")),
               tolbu_sdk::ValueError);
}

TEST(KitPortfolio, NetsAddsPartialClosesAndReversalsWithFees) {
  struct Step {
    Side side;
    std::int64_t qty;
    double price;
    double fee;
    std::int64_t position;  // after the fill
    double avg;
    double realized;
    std::size_t trades;
  };
  const Step steps[] = {
      {Side::BUY, 2, 100.0, 2.0, 2, 100.0, 0.0, 0},     // open long
      {Side::BUY, 2, 110.0, 2.0, 4, 105.0, 0.0, 0},     // add
      {Side::SELL, 1, 115.0, 1.0, 3, 105.0, 10.0, 1},   // partial close
      {Side::SELL, 5, 120.0, 5.0, -2, 120.0, 55.0, 2},  // close 3 and reverse 2
      {Side::BUY, 2, 100.0, 2.0, 0, 0.0, 95.0, 3},      // close the short
  };
  Portfolio portfolio;
  std::int64_t t = 0;
  for (const auto& s : steps) {
    // Slippage half the fee: it is shared out between trades as fees are.
    portfolio.apply(Fill{"O", "", "HPG", s.side, s.qty, s.price, s.fee, ++t, 0.0, s.fee / 2});
    const auto h = portfolio.holding("HPG");
    EXPECT_EQ(h.qty, s.position) << t;
    EXPECT_DOUBLE_EQ(h.avg_price, s.avg) << t;
    EXPECT_DOUBLE_EQ(h.realized_pnl, s.realized) << t;
    EXPECT_EQ(portfolio.trades().size(), s.trades) << t;
  }
  // Every fee lands in exactly one trade; the trades' net adds up to the portfolio's.
  const auto trades = portfolio.trades();
  double fees = 0.0, net = 0.0, slippage = 0.0;
  for (const auto& trade : trades) {
    fees += trade.fees;
    slippage += trade.slippage;
    net += trade.net_pnl();
  }
  EXPECT_DOUBLE_EQ(fees, 12.0);
  EXPECT_DOUBLE_EQ(slippage, 6.0);
  EXPECT_DOUBLE_EQ(portfolio.slippage(), 6.0);
  EXPECT_DOUBLE_EQ(trades[2].slippage, 2.0);
  EXPECT_DOUBLE_EQ(trades[1].slippage, 0.75 * 2.0 + 0.6 * 2.5);  // 3 of 4 opened, 3 of 5 closing
  EXPECT_DOUBLE_EQ(portfolio.net_pnl(), 95.0 - 12.0);
  EXPECT_DOUBLE_EQ(net, portfolio.net_pnl());
  // The reversal's short: opened at the fourth fill with 2/5 of its fee.
  EXPECT_EQ(trades[2].side, Side::SELL);
  EXPECT_EQ(trades[2].entry_ms, 4);
  EXPECT_DOUBLE_EQ(trades[2].fees, 2.0 + 2.0);

  // Unrealised from the latest mark, per symbol.
  portfolio.apply(Fill{"O", "", "VN30", Side::SELL, 3, 1300.0, 0.0, 9});
  portfolio.mark("VN30", 1290.0);
  EXPECT_DOUBLE_EQ(portfolio.unrealized_pnl(), 30.0);
  EXPECT_EQ(portfolio.position("VN30"), -3);
  EXPECT_EQ(portfolio.position("NONE"), 0);
}

TEST(KitOrderRules, EachBrokenRuleIsNamed) {
  tolbu_sdk::strategy::Symbol hpg{.name = "HPG", .tick_size = 0.05, .lot_size = 100,
                                  .min_qty = 100, .max_qty = 5000};
  struct Case {
    std::int64_t qty;
    double price;
    const char* error;  // "" when the order passes
  };
  const Case cases[] = {
      {100, 0.0, ""},
      {200, 25.35, ""},
      {0, 0.0, "Quantity 0 of HPG must be positive"},
      {150, 0.0, "Quantity 150 of HPG is not a multiple of its lot size 100"},
      {5100, 0.0, "Quantity 5100 of HPG is above its maximum of 5000"},
      {100, 25.33, "Price 25.33 of HPG is not on its tick of 0.05"},
      {100, -1.0, "Price -1 of HPG must be finite and positive"},
  };
  for (const auto& c : cases) {
    try {
      check_order(hpg, c.qty, c.price);
      EXPECT_STREQ(c.error, "") << c.qty << " @ " << c.price;
    } catch (const tolbu_sdk::ValueError& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
  }
  hpg.lot_size = 1;
  EXPECT_THROW(check_order(hpg, 50), tolbu_sdk::ValueError);  // below the minimum
}

}  // namespace

// The kit's orders against tolbu-sim: answers, execution reports and REST look-ups meet in one
// place; a lost answer is looked up, never resent; every fill is applied once; the portfolio
// agrees with the back end's account to the cent.

#include <gtest/gtest.h>

#include <boost/asio/awaitable.hpp>
#include <boost/json.hpp>

#include "loop_support.hpp"
#include "sim_process.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/features/orders.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/kit/orders.hpp"

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
namespace kit = tolbu_sdk::kit;
using tolbu_test::until;

constexpr const char* kAccount = "SIM0001";

TEST(KitOrders, EveryPathOfAnOrdersFateMeetsOnceInThePortfolio) {
  tolbu_test::SimProcess sim{{"--speed", "0", "--start-ms", std::to_string(tolbu_test::kStart)}};
  const auto config = tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(),
                                                             sim.ws_url(), sim.jwt());
  auto fault = [&](json::object f) {
    f["path_prefix"] = "/api/v1/orders/new";
    ASSERT_EQ(sim.post("/_sim/faults", json::serialize(f)).status, 200);
  };
  tolbu_sdk::features::OrderService service(config);
  const tolbu_sdk::strategy::Symbol hpg{.name = "HPG", .tick_size = 50, .lot_size = 100,
                                        .min_qty = 100};
  kit::Portfolio portfolio;
  std::vector<kit::OrderEvent> events;
  std::vector<json::value> reports;
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> asio::awaitable<void> {
        kit::OrderManager orders(co_await asio::this_coro::executor, service, kAccount, portfolio);
        orders.on_event([&](const kit::OrderEvent& e) { events.push_back(e); });
        tolbu_sdk::features::TolbuStream stream(config);
        co_await stream.connect();
        auto on_report = [&](const json::value& r) {
          reports.push_back(r);
          orders.on_execution_report(r);
        };
        co_await stream.subscribe_order_execution_report(kAccount, on_report);
        auto done = [&](const std::string& ref) {
          return [&, ref] {
            auto o = orders.find(ref);
            return o && kit::is_final(o->status);
          };
        };

        // A market buy: accepted, filled, done.
        const auto first = orders.submit(hpg, {.side = kit::Side::BUY, .qty = 200});
        EXPECT_TRUE(co_await until(done(first)));
        // The answer lost after the back end placed it: looked up, found, filled once.
        fault({{"drop", true}, {"act", true}});
        const auto lost = orders.submit(hpg, {.side = kit::Side::BUY, .qty = 100});
        EXPECT_TRUE(co_await until(done(lost)));
        // Lost before the back end saw it: never placed, and never sent again.
        fault({{"drop", true}});
        const auto never = orders.submit(hpg, {.side = kit::Side::BUY, .qty = 100});
        EXPECT_TRUE(co_await until(done(never)));
        // Placed, then a gateway's 502: looked up like a lost answer, filled once.
        fault({{"status", 502}, {"body", R"({"error": "bad gateway"})"}, {"act", true}});
        const auto gateway = orders.submit(hpg, {.side = kit::Side::BUY, .qty = 100});
        EXPECT_TRUE(co_await until(done(gateway)));
        EXPECT_EQ(orders.find(gateway)->status, kit::OrderStatus::FILLED);
        // A reversal to a short of 100, 500 higher.
        EXPECT_EQ(sim.post("/_sim/price", R"({"symbol": "HPG", "price": 26500})").status, 200);
        const auto reversal = orders.target_position(hpg, -100);
        EXPECT_TRUE(co_await until(done(reversal)));
        co_await orders.settle();
        // Every report once more, as a reconnect might deliver them: nothing changes.
        const auto fills_before = portfolio.trades().size();
        for (const auto& r : std::vector<json::value>(reports)) orders.on_execution_report(r);
        EXPECT_TRUE(co_await orders.reconcile());
        EXPECT_EQ(portfolio.trades().size(), fills_before);

        EXPECT_EQ(orders.find(first)->status, kit::OrderStatus::FILLED);
        EXPECT_EQ(orders.find(lost)->status, kit::OrderStatus::FILLED);
        EXPECT_EQ(orders.find(never)->status, kit::OrderStatus::NOT_PLACED);
        EXPECT_EQ(orders.find(reversal)->intent.qty, 500);
        EXPECT_THROW(orders.submit(hpg, {.side = kit::Side::BUY, .qty = 150}),
                     tolbu_sdk::ValueError);
        co_await stream.disconnect();
      },
      std::chrono::seconds(30));

  // Events: ACCEPTED, FILL, DONE for each filled order; DONE alone for the one never placed.
  std::vector<std::string> kinds;
  for (const auto& e : events) {
    kinds.push_back(e.kind == kit::OrderEvent::Kind::FILL       ? "fill"
                    : e.kind == kit::OrderEvent::Kind::ACCEPTED ? "accepted"
                                                                : "done");
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"accepted", "fill", "done", "accepted", "fill", "done",
                                             "done", "accepted", "fill", "done", "accepted",
                                             "fill", "done"}));
  EXPECT_EQ(portfolio.position("HPG"), -100);

  // The back end's account: the same position, realised P&L and fees to the cent.
  const auto accounts = service.get_accounts();
  ASSERT_TRUE(accounts && !accounts->empty());
  const auto& position = accounts->front().at("positions").at(0);
  EXPECT_EQ(position.at("qty").to_number<std::int64_t>(), -100);
  EXPECT_NEAR(position.at("realizedPnl").to_number<double>(), portfolio.realized_pnl(), 0.005);
  EXPECT_GT(portfolio.realized_pnl(), 0.0);
  double fees = 0.0;
  for (const auto& trade : service.get_trades(kAccount)) fees += trade.fee;
  EXPECT_GT(fees, 0.0);
  EXPECT_NEAR(fees, portfolio.fees(), 0.005);
}

// A second cancel while one is on its way is not sent: the first one's 503 leaves the order
// working, where a duplicate request would have cancelled it behind the strategy's back.
TEST(KitOrders, ACancelGoesOutOncePerOrder) {
  tolbu_test::SimProcess sim{{"--speed", "0", "--start-ms", std::to_string(tolbu_test::kStart)}};
  const auto config = tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(),
                                                             sim.ws_url(), sim.jwt());
  tolbu_sdk::features::OrderService service(config);
  const tolbu_sdk::strategy::Symbol hpg{.name = "HPG", .tick_size = 50, .lot_size = 100,
                                        .min_qty = 100};
  kit::Portfolio portfolio;
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> asio::awaitable<void> {
        kit::OrderManager orders(co_await asio::this_coro::executor, service, kAccount, portfolio);
        const auto ref =
            orders.submit(hpg, {.side = kit::Side::BUY, .qty = 100, .price = 20000});
        co_await orders.settle();
        EXPECT_EQ(orders.find(ref)->status, kit::OrderStatus::WORKING);
        EXPECT_EQ(sim.post("/_sim/faults", R"({"count": 1, "status": 503,
                                               "path_prefix": "/api/v1/orders/cancel"})")
                      .status,
                  200);
        orders.cancel(ref);
        orders.cancel(ref);
        co_await orders.settle();
        EXPECT_EQ(orders.find(ref)->status, kit::OrderStatus::WORKING);
        orders.cancel(ref);
        co_await orders.settle();
        EXPECT_EQ(orders.find(ref)->status, kit::OrderStatus::CANCELLED);
      },
      std::chrono::seconds(30));
}

}  // namespace

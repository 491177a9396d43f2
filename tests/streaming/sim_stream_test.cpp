// TolbuStream against the tolbu-sim process: live market data, order events, and a server
// that crashes, restarts on its port or drops every connection.

#include <gtest/gtest.h>

#include <unistd.h>

#include <boost/asio/awaitable.hpp>
#include <boost/json.hpp>

#include <algorithm>

#include "loop_support.hpp"
#include "sim_streaming_support.hpp"
#include "tolbu_sdk/features/streaming.hpp"

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using namespace std::chrono_literals;
using tolbu_sdk::TolbuConfig;
using tolbu_sdk::features::TolbuStream;
using tolbu_test::config_for;
using tolbu_test::post_authorized;
using tolbu_test::publish;
using tolbu_test::SimProcess;
using tolbu_test::subscribers;
using tolbu_test::until;
using Awaitable = asio::awaitable<void>;

struct Counts {
  int connects = 0;
  int disconnects = 0;
};

TEST(SimStream, SurvivesACrashARestartOnTheSamePortAndDroppedConnections) {
  SimProcess sim({"--speed", "0"});
  auto config = config_for(sim);
  asio::io_context io;
  tolbu_test::run_on(
      io,
      [&]() -> Awaitable {
        TolbuStream stream(config);
        Counts counts;
        std::vector<std::int64_t> trades;
        std::vector<double> closes;
        co_await stream.connect([&] { ++counts.connects; }, [&] { ++counts.disconnects; });
        co_await stream.subscribe_trade_log(
            "HPG", [&](const json::value& v) { trades.push_back(v.at("n").as_int64()); });
        co_await stream.subscribe_candles(
            "HPG", 60, [&](const tolbu_sdk::types::Candle& c) { closes.push_back(c.close); }, true);
        auto both_subscribed = [&] {
          return subscribers(sim, "market:TradeLog:HPG") == 1 &&
                 subscribers(sim, "market:OHLCV:HPG:60") == 1;
        };
        EXPECT_TRUE(co_await until(both_subscribed));
        const json::object candle{{"time", 1},    {"open", 26000},  {"high", 26100},
                                  {"low", 25900}, {"close", 26050}, {"volume", 10}};

        for (int round = 1; round <= 3; ++round) {
          publish(sim, "market:TradeLog:HPG", json::object{{"n", round}});
          publish(sim, "market:OHLCV:HPG:60", candle);
          EXPECT_TRUE(co_await until([&] { return trades.size() == std::size_t(round); }));
          if (round == 1) {
            sim.kill_hard();  // a crash: no close frame
            EXPECT_TRUE(co_await until([&] { return counts.disconnects == 1; }));
            EXPECT_FALSE(stream.connected());
            sim.restart();  // same port, a fresh server without subscriptions
          } else if (round == 2) {
            EXPECT_EQ(sim.post("/_sim/streaming/drop", R"({"code": 3001})").status, 200);
          }
          if (round < 3) {
            EXPECT_TRUE(co_await until([&] { return counts.connects == round + 1; }, 10s));
            EXPECT_TRUE(co_await until(both_subscribed));
          }
        }
        EXPECT_EQ(trades, (std::vector<std::int64_t>{1, 2, 3}));
        EXPECT_EQ(closes, (std::vector<double>{26.05, 26.05, 26.05}));
        EXPECT_EQ(counts.disconnects, 2);
        EXPECT_EQ(stream.subscriptions().size(), 2u);
        co_await stream.disconnect();
      },
      30s);
}

TEST(SimStream, LiveMarketDataArrivesAsTypedRecords) {
  SimProcess sim({"--speed", "1", "--tick-ms", "50"});
  auto config = config_for(sim);
  asio::io_context io;
  tolbu_test::run_on(io, [&]() -> Awaitable {
    TolbuStream stream(config);
    co_await stream.connect();
    std::vector<tolbu_sdk::types::Candle> candles;
    std::vector<tolbu_sdk::types::Depth> depths;
    std::vector<tolbu_sdk::types::ProductStat> stats;
    co_await stream.subscribe_candles("HPG", 1, [&](const auto& c) { candles.push_back(c); });
    co_await stream.subscribe_depth("HPG", [&](const auto& d) { depths.push_back(d); });
    co_await stream.subscribe_product_stat("HPG", [&](const auto& s) { stats.push_back(s); });
    EXPECT_TRUE(co_await until(
        [&] { return candles.size() >= 3 && depths.size() >= 3 && stats.size() >= 3; }));
    for (const auto& c : candles) {
      EXPECT_LE(c.low, std::min(c.open, c.close));
      EXPECT_GE(c.high, std::max(c.open, c.close));
    }
    CO_ASSERT_TRUE(!depths.back().bid_price_depth.empty());
    EXPECT_LT(depths.back().bid_price_depth.front().price,
              depths.back().ask_price_depth.front().price);
    EXPECT_EQ(stats.back().symbol, "HPG");
  });
}

TEST(SimStream, FilledOrdersReachTheOrderAndAlgorithmChannels) {
  SimProcess sim({"--speed", "0", "--account", "ACC9"});
  auto config = config_for(sim);
  asio::io_context io;
  tolbu_test::run_on(io, [&]() -> Awaitable {
    TolbuStream stream(config);
    co_await stream.connect();
    std::vector<json::value> reports, orders, positions, masters;
    auto into = [](std::vector<json::value>& v) {
      return [&v](const json::value& payload) { v.push_back(payload); };
    };
    co_await stream.subscribe_order_execution_report("ACC9", into(reports));
    co_await stream.subscribe_algo_order("ACC9", into(orders));
    co_await stream.subscribe_algo_position("ACC9", into(positions));
    co_await stream.subscribe_algo_master("ACC9", into(masters));
    EXPECT_TRUE(co_await until([&] { return subscribers(sim, "algo:AlgoMaster:ACC9") == 1; }));
    EXPECT_EQ(post_authorized(sim, "/api/v1/orders/new/ref-1/ACC9/HPG/B/0.0/100/MTL"), 200);
    EXPECT_TRUE(co_await until([&] {
      return !positions.empty() && !masters.empty() &&
             std::any_of(reports.begin(), reports.end(),
                         [](const json::value& r) { return r.at("status") == "FILLED"; });
    }));
    CO_ASSERT_TRUE(!orders.empty());
    const auto order = tolbu_sdk::types::OrderData::from_dict(orders.back());
    EXPECT_EQ(order.symbol, "HPG");
    EXPECT_EQ(order.filled_qty, 100);
    EXPECT_EQ(positions.back().at("positions").as_array().at(0).at("qty"), 100);
    EXPECT_EQ(masters.back().at("accountId"), "ACC9");
  });
}

}  // namespace

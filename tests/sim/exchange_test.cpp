// The sim's exchange over its REST paths: validation, fills, positions, the clock, the live
// market. What end-to-end suites and demos rely on.

#include "sim_process.hpp"

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <thread>

namespace json = boost::json;
using tolbu_test::SimProcess;

namespace {

using tolbu_test::kStart;

class ExchangeTest : public ::testing::Test {
 protected:
  SimProcess sim{{"--speed", "0", "--start-ms", std::to_string(kStart)}};

  json::value call(const std::string& method, const std::string& path, int expected = 200,
                   const std::string& body = {}) {
    auto reply = sim.authorized(method, path, body);
    EXPECT_EQ(reply.status, expected) << method << " " << path << ": " << reply.body;
    return json::parse(reply.body);
  }
  void set_price(const std::string& symbol, double price) {
    auto reply = sim.post("/_sim/price",
                          json::serialize(json::object{{"symbol", symbol}, {"price", price}}));
    ASSERT_EQ(reply.status, 200) << reply.body;
  }
  double last_close(const std::string& symbol) {
    auto candles = json::parse(
        sim.get("/GetOhlcvHis/" + symbol + "/60/0/" + std::to_string(now()) + "/1").body);
    return candles.at(0).at("close").to_number<double>();
  }
  std::int64_t now() { return json::parse(sim.get("/_sim/clock").body).at("time_ms").as_int64(); }
  json::object account(const std::string& id) {
    json::value accounts = call("GET", "/api/v1/accounts");
    for (auto& a : accounts.at("data").as_array()) {
      if (a.at("accountId") == id.c_str()) return a.as_object();
    }
    return {};
  }
};

}  // namespace

TEST_F(ExchangeTest, OrdersAreValidatedAgainstTheInstrument) {
  struct Case {
    std::string path, error;
  };
  std::vector<Case> cases = {
      {"r1/A/HPG/X/26500.0/100/LO", "Invalid side 'X': expected B or S"},
      {"r1/A/HPG/B/26500.0/100/GTC", "Invalid order type 'GTC': expected LO, MTL, ATO or ATC"},
      {"r1/A/HPG/B/26500.0/150/LO", "Quantity 150 is not a multiple of the lot size 100"},
      {"r1/A/HPG/B/26525.0/100/LO", "Price 26525 is not a multiple of the tick size 50"},
      {"r1/A/HPG/B/0.0/100/LO", "A limit order needs a positive price"},
      {"r1/A/HPG/B/abc/100/LO", "Invalid price 'abc'"},
      {"r1/A/HPG/B/26500.0/-1/LO", "Invalid quantity '-1'"},
      {"r1/A/NOPE/B/26500.0/100/LO", "Unknown symbol 'NOPE'"},
  };
  for (const auto& c : cases) {
    auto body = call("POST", "/api/v1/orders/new/" + c.path, 400);
    EXPECT_EQ(body.at("error"), c.error.c_str()) << c.path;
  }
  EXPECT_EQ(call("GET", "/api/v1/orders").at("data").as_array().size(), 0u);
  EXPECT_EQ(call("POST", "/api/v1/stop-orders", 400, R"({"symbol": "HPG"})").at("error"),
            "Missing field \"refOrderID\"");
  EXPECT_EQ(call("POST", "/api/v1/orders/bracket-order", 400,
                 R"({"symbol": "HPG", "side": "B", "account": "", "quantity": 100,
                     "orderType": "LO", "conditionPrice": 26000, "conditionType": "<=",
                     "takeProfitPrice": 25000, "stopLossPrice": 25500})")
                .at("error"),
            "A buy bracket needs takeProfitPrice > conditionPrice > stopLossPrice");
}

TEST_F(ExchangeTest, FillsMovePositionsCashAndRealisedProfit) {
  set_price("VN30F2412", 1300);
  EXPECT_EQ(last_close("VN30F2412"), 1300.0) << "the set price is the market's from now on";
  call("POST", "/api/v1/orders/new/r1/ACC/VN30F2412/B/0.0/3/MTL");
  set_price("VN30F2412", 1310.5);
  call("POST", "/api/v1/orders/new/r2/ACC/VN30F2412/S/1310.5/2/LO");  // marketable: fills
  auto acct = account("ACC");
  ASSERT_FALSE(acct.empty());
  auto& position = acct.at("positions").as_array().at(0);
  EXPECT_EQ(position.at("qty"), 1);
  EXPECT_EQ(position.at("avgPrice").to_number<double>(), 1300.0);
  EXPECT_DOUBLE_EQ(acct.at("totalRealizedPnl").to_number<double>(), 21.0);
  EXPECT_DOUBLE_EQ(acct.at("totalUnrealizedPnl").to_number<double>(), 10.5);
  auto trades = call("GET", "/api/v1/trades?accountId=ACC").at("data").as_array();
  ASSERT_EQ(trades.size(), 2u);
  EXPECT_DOUBLE_EQ(trades[0].at("fee").to_number<double>(), 3.9);  // 0.1 % of 3 x 1300
}

// The costs a backtest must pay: the fee schedule on every fill, slippage on market and
// marketable orders only, never beyond a limit.
TEST(SimCosts, FeesAndSlippageAsConfigured) {
  SimProcess sim{{"--speed", "0", "--start-ms", std::to_string(kStart), "--commission-pct",
                  "0.05", "--fee-per-contract", "2", "--slippage-ticks", "2"}};
  ASSERT_EQ(sim.post("/_sim/price", R"({"symbol": "VN30F2412", "price": 1300})").status, 200);
  struct Case {
    const char* path;
    double price;  // of the fill
    double fee;
  };
  const Case cases[] = {
      {"m1/A/VN30F2412/B/0.0/3/MTL", 1300.2, 7.95},      // 3 x 1300.2 x 0.05 % + 3 x 2
      {"m2/A/VN30F2412/S/0.0/1/MTL", 1299.8, 2.65},      // sells receive less
      {"l1/A/VN30F2412/B/1300.1/1/LO", 1300.1, 2.65},    // marketable: slips up to its limit
      {"l2/A/VN30F2412/B/1299.0/1/LO", 0.0, 0.0},        // rests: no fill yet
  };
  for (const auto& c : cases) {
    auto reply = sim.authorized("POST", std::string("/api/v1/orders/new/") + c.path, "");
    ASSERT_EQ(reply.status, 200) << reply.body;
    const auto order = json::parse(reply.body).at("data");
    EXPECT_DOUBLE_EQ(order.at("avgPrice").to_number<double>(), c.price) << c.path;
    EXPECT_DOUBLE_EQ(order.at("fee").to_number<double>(), c.fee) << c.path;
  }
  // A resting limit trades at its limit when the market reaches it, without slippage.
  ASSERT_EQ(sim.post("/_sim/price", R"({"symbol": "VN30F2412", "price": 1298})").status, 200);
  const auto trades = json::parse(sim.authorized("GET", "/api/v1/trades", "").body).at("data");
  ASSERT_EQ(trades.as_array().size(), 4u);
  EXPECT_DOUBLE_EQ(trades.at(3).at("price").to_number<double>(), 1299.0);
}

TEST_F(ExchangeTest, StopWithLimitRestsAfterTriggerAndBracketStopsOut) {
  set_price("HPG", 26500);
  call("POST", "/api/v1/stop-orders", 200,
       R"({"refOrderID": "s1", "accountID": "A", "symbol": "HPG", "orderSide": "S",
           "stopPrice": 26000, "qty": 100, "limitPrice": 25900})");
  call("POST", "/api/v1/orders/bracket-order", 200,
       R"({"symbol": "HPG", "side": "B", "account": "A", "quantity": 100, "orderType": "LO",
           "conditionPrice": 26500, "conditionType": "<=", "takeProfitPrice": 27500,
           "stopLossPrice": 25800})");
  // The bracket's entry is met at once; then the market falls through both stops.
  set_price("HPG", 25950);
  auto stop = call("GET", "/api/v1/stop-orders?accountId=A").at("data").at(0);
  EXPECT_EQ(stop.at("status"), "TRIGGERED");
  std::string triggered(stop.at("triggeredOrderID").as_string());
  auto orders = call("GET", "/api/v1/orders?accountId=A&status=FILLED").at("data").as_array();
  bool limit_filled = false;
  for (auto& o : orders) limit_filled |= o.at("orderID") == triggered.c_str();
  EXPECT_TRUE(limit_filled) << "the triggered sell limit at 25900 is marketable at 25950";
  EXPECT_EQ(call("GET", "/api/v1/bracket-orders").at("data").at(0).at("status"), "ACTIVE");
  set_price("HPG", 25800);
  EXPECT_EQ(call("GET", "/api/v1/bracket-orders").at("data").at(0).at("status"), "STOP_LOSS");
  EXPECT_EQ(call("POST", "/api/v1/orders/cancel/K-1", 409).at("error"),
            "Bracket order K-1 is STOP_LOSS and cannot be cancelled");
}

// A bracket whose entry rests (a buy limit at the condition while the market is above it)
// sends that entry once, however many ticks the condition holds; its fill arms the exits,
// and cancelling the bracket takes a resting entry with it.
TEST_F(ExchangeTest, ABracketsRestingEntryIsSentOnce) {
  set_price("VN30F2412", 1300);
  const std::string bracket = R"({"symbol": "VN30F2412", "side": "B", "account": "E",
      "quantity": 1, "orderType": "LO", "conditionPrice": 1299.5, "conditionType": ">=",
      "takeProfitPrice": 1310, "stopLossPrice": 1290})";
  call("POST", "/api/v1/orders/bracket-order", 200, bracket);
  call("POST", "/api/v1/orders/bracket-order", 200, bracket);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(sim.post("/_sim/tick").status, 200);
  set_price("VN30F2412", 1300.2);
  auto orders = call("GET", "/api/v1/orders?accountId=E").at("data").as_array();
  ASSERT_EQ(orders.size(), 2u);  // one entry each
  for (auto& o : orders) EXPECT_EQ(o.at("status"), "NEW");
  call("POST", "/api/v1/orders/cancel/K-2");
  EXPECT_EQ(call("GET", "/api/v1/orders?accountId=E&status=CANCELLED").at("data").as_array().size(),
            1u);
  set_price("VN30F2412", 1299.5);
  auto brackets = call("GET", "/api/v1/bracket-orders?accountId=E").at("data").as_array();
  EXPECT_EQ(brackets.at(0).at("status"), "ACTIVE");
  EXPECT_EQ(brackets.at(1).at("status"), "CANCELLED");
  EXPECT_EQ(call("GET", "/api/v1/orders?accountId=E").at("data").as_array().size(), 2u);
}

TEST_F(ExchangeTest, ClockAdvancesHistoryAndResetForgetsOrders) {
  auto before = json::parse(sim.get("/GetOhlcvHis/FPT/60/0/9999999999999/1").body);
  EXPECT_EQ(before.at(0).at("time"), kStart);
  ASSERT_EQ(sim.post("/_sim/clock", R"({"advance_ms": 180000})").status, 200);
  EXPECT_EQ(now(), kStart + 180000);
  auto after = json::parse(sim.get("/GetOhlcvHis/FPT/60/0/9999999999999/1").body);
  EXPECT_EQ(after.at(0).at("time"), kStart + 180000);
  EXPECT_EQ(sim.post("/_sim/clock", R"({"time_ms": 1000})").status, 200);
  EXPECT_EQ(now(), 1000);
  EXPECT_EQ(sim.post("/_sim/clock", R"({})").status, 400);

  call("POST", "/api/v1/orders/new/r1//FPT/B/0.0/100/MTL");
  EXPECT_EQ(call("GET", "/api/v1/orders").at("data").as_array().size(), 1u);
  EXPECT_EQ(call("GET", "/api/v1/orders").at("data").at(0).at("accountID"), "SIM0001")
      << "an empty account segment means the default account";
  ASSERT_EQ(sim.post("/_sim/reset").status, 200);
  EXPECT_EQ(call("GET", "/api/v1/orders").at("data").as_array().size(), 0u);
  EXPECT_EQ(call("GET", "/api/v1/execution-reports").at("data").as_array().size(), 0u);
}

TEST(SimLiveMarket, TheClockRunsAtTheGivenSpeed) {
  SimProcess sim({"--speed", "600", "--tick-ms", "20", "--start-ms", std::to_string(kStart)});
  auto clock = [&] { return json::parse(sim.get("/_sim/clock").body).at("time_ms").as_int64(); };
  // Ten simulated minutes pass within about a real second; waited for, not assumed.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (clock() < kStart + 600'000 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GE(clock(), kStart + 600'000);
  auto candles = json::parse(sim.get("/GetOhlcvHis/HPG/60/" + std::to_string(kStart) + "/" +
                                     std::to_string(kStart + 600'000))
                                 .body)
                     .as_array();
  EXPECT_EQ(candles.size(), 11u);
}

TEST(SimHelp, DocumentsOptionsAndEveryEndpoint) {
  std::string command = std::string(TOLBU_SIM_PATH) + " --help";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string text;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
  EXPECT_EQ(::pclose(pipe), 0);
  for (const char* item : {"--port",
                           "--jwt",
                           "--seed",
                           "--speed",
                           "--tick-ms",
                           "--start-ms",
                           "--account",
                           "--max-candles",
                           "--journal-limit",
                           "--quiet",
                           "/GetOhlcvHis/",
                           "/api/v1/MarketData/GetProductMaster/",
                           "/api/v1/diagnostics/margin-ratios/",
                           "/api/v1/orders/new/",
                           "/api/v1/orders/cancel/",
                           "/api/v1/stop-orders",
                           "/api/v1/orders/bracket-order",
                           "/api/v1/orders ",
                           "/api/v1/execution-reports",
                           "/api/v1/trades",
                           "/api/v1/bracket-orders",
                           "/api/v1/accounts",
                           "/connection/websocket",
                           "/_sim/health",
                           "/_sim/journal",
                           "/_sim/faults",
                           "/_sim/price",
                           "/_sim/clock",
                           "/_sim/tick",
                           "/_sim/reset"}) {
    EXPECT_NE(text.find(item), std::string::npos) << item;
  }
  std::string bad = std::string(TOLBU_SIM_PATH) + " --speed fast 2>/dev/null";
  EXPECT_NE(::system(bad.c_str()), 0);
}

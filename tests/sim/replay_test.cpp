// The sim's replay as an exchange for backtests: resting orders matched against each bar's
// high and low in the conservative order, fills within a share of each bar's volume, and
// the margin an account needs. Bars are known beforehand from a second sim with the same
// seed whose clock stands after the range (the price path is a function of seed and time).

#include "sim_process.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json.hpp>

#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tolbu_sdk/backtest/runtime.hpp"
#include "tolbu_sdk/config.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/platform/centrifuge.hpp"
#include "tolbu_sdk/platform/number_text.hpp"

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using namespace std::chrono_literals;

constexpr std::int64_t kFrom = 1'733'104'800'000;  // Monday 2024-12-02 09:00 UTC+7
constexpr std::int64_t kBar = 60'000;
constexpr const char* kSymbol = "VN30F2412";
constexpr double kTick = 0.1;

struct Bar {
  std::int64_t time = 0;
  double open = 0, high = 0, low = 0, close = 0, volume = 0;
};

std::vector<Bar> reference_bars(const std::string& seed, int count) {
  tolbu_test::SimProcess ref(
      {"--speed", "0", "--seed", seed, "--start-ms", std::to_string(kFrom + 86'400'000)});
  auto reply = ref.get("/GetOhlcvHis/" + std::string(kSymbol) + "/60/" + std::to_string(kFrom) +
                       "/" + std::to_string(kFrom + (count - 1) * kBar));
  std::vector<Bar> out;
  const json::value candles = json::parse(reply.body);
  for (const auto& c : candles.as_array()) {
    out.push_back({c.at("time").to_number<std::int64_t>(), c.at("open").to_number<double>(),
                   c.at("high").to_number<double>(), c.at("low").to_number<double>(),
                   c.at("close").to_number<double>(), c.at("volume").to_number<double>()});
  }
  return out;
}

// On the 0.1 grid as decimal text reads it (1239.6, not 1239.6000000000001).
double grid(double p) { return std::round(p * 10) / 10; }
std::string price_text(double p) { return tolbu_sdk::platform::number_text(grid(p)); }

// A replay run: the sim, a stream for its rpcs, and blocking REST calls in between steps.
class Replay {
 public:
  explicit Replay(std::vector<std::string> args) : sim(with_replay(std::move(args))) {}

  // Runs body on a loop with the stream connected.
  void run(std::function<asio::awaitable<void>(Replay&)> body) {
    auto config = tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(),
                                                         sim.ws_url(), sim.jwt());
    tolbu_sdk::features::TolbuStream stream(config);
    stream_ = &stream;
    std::exception_ptr failure;
    asio::co_spawn(
        loop_,
        [&]() -> asio::awaitable<void> {
          co_await stream.connect();
          co_await stream.client()->ready(10s);
          co_await body(*this);
          co_await stream.disconnect();
        },
        [&](std::exception_ptr e) {
          failure = e;
          loop_.stop();
        });
    loop_.run();
    stream_ = nullptr;
    if (failure) std::rethrow_exception(failure);
  }

  tolbu_sdk::features::TolbuStream& stream() { return *stream_; }
  asio::awaitable<json::value> rpc(std::string method, json::value data) {
    co_return co_await stream_->client()->rpc(std::move(method), std::move(data), 10s);
  }
  asio::awaitable<void> step() {
    std::string method = "replay.next";
    co_await rpc(std::move(method), json::object());
  }

  tolbu_test::HttpReply order(const std::string& account, const std::string& side, double price,
                              std::int64_t qty, const std::string& type) {
    const std::string ref = "r" + std::to_string(++refs_);
    return sim.authorized("POST", "/api/v1/orders/new/" + ref + "/" + account + "/" + kSymbol +
                                      "/" + side + "/" + price_text(price) + "/" +
                                      std::to_string(qty) + "/" + type);
  }
  json::array list(const std::string& path) {
    return json::parse(sim.authorized("GET", path).body).at("data").as_array();
  }
  json::array trades(const std::string& account) {
    return list("/api/v1/trades?accountId=" + account);
  }

  tolbu_test::SimProcess sim;

 private:
  static std::vector<std::string> with_replay(std::vector<std::string> args) {
    args.insert(args.begin(), "--replay");
    return args;
  }
  asio::io_context loop_;
  tolbu_sdk::features::TolbuStream* stream_ = nullptr;
  int refs_ = 0;
};

json::object start_request(int bars, std::optional<double> capital = std::nullopt) {
  json::object request{
      {"symbol", kSymbol}, {"resolution", 60}, {"from", kFrom}, {"to", kFrom + bars * kBar}};
  if (capital) request["capital"] = *capital;
  return request;
}

}  // namespace

// A limit, a stop and a bracket, each placed at the start of a bar that reaches it inside
// but not at its close: each trades at its own price in that bar (a stop and a stop-loss the
// slippage worse), and a bracket whose bar reaches both exits takes the stop-loss.
TEST(SimReplay, RestingOrdersTradeInsideTheBarInTheConservativeOrder) {
  constexpr int kBars = 60;
  const auto bars = reference_bars("3", kBars);
  ASSERT_EQ(bars.size(), static_cast<std::size_t>(kBars));
  struct Case {
    std::string name, account;
    int bar = -1;
    std::function<void(Replay&, const Bar&)> place;
    double expected_price = 0;
    std::string expected_bracket;  // status of the account's bracket, when it has one
  };
  std::vector<Case> cases;
  // Bars the old one-price match would have missed: the next open stays off the level.
  auto find = [&](auto fits) {
    for (int k = 0; k + 1 < kBars; ++k)
      if (fits(bars[static_cast<std::size_t>(k)], bars[static_cast<std::size_t>(k + 1)])) return k;
    return -1;
  };
  const int dip = find([](const Bar& b, const Bar& next) {
    return b.low < b.open - kTick / 2 && next.open > b.low + kTick / 2;
  });
  const int rise = find([](const Bar& b, const Bar& next) {
    return b.high > b.open + kTick / 2 && next.open < b.high - kTick / 2;
  });
  const int both = find([](const Bar& b, const Bar& next) {
    return b.high > b.open + kTick / 2 && b.low < b.open - kTick / 2 &&
           next.open < b.high - kTick / 2 && next.open > b.low + kTick / 2;
  });
  ASSERT_GE(dip, 0);
  ASSERT_GE(rise, 0);
  ASSERT_GE(both, 0);
  const auto& d = bars[static_cast<std::size_t>(dip)];
  const auto& r = bars[static_cast<std::size_t>(rise)];
  const auto& w = bars[static_cast<std::size_t>(both)];
  cases.push_back({"buy limit at the low", "L1", dip,
                   [](Replay& x, const Bar& b) {
                     auto reply = x.order("L1", "B", b.low, 1, "LO");
                     ASSERT_EQ(reply.status, 200) << reply.body;
                   },
                   d.low, ""});
  cases.push_back({"sell limit at the high", "L2", rise,
                   [](Replay& x, const Bar& b) {
                     auto reply = x.order("L2", "S", b.high, 1, "LO");
                     ASSERT_EQ(reply.status, 200) << reply.body;
                   },
                   r.high, ""});
  cases.push_back({"buy stop at the high", "S1", rise,
                   [](Replay& x, const Bar& b) {
                     auto reply =
                         x.sim.authorized("POST", "/api/v1/stop-orders",
                                          json::serialize(json::object{{"refOrderID", "s1"},
                                                                       {"accountID", "S1"},
                                                                       {"symbol", kSymbol},
                                                                       {"orderSide", "B"},
                                                                       {"stopPrice", grid(b.high)},
                                                                       {"qty", 1}}));
                     ASSERT_EQ(reply.status, 200) << reply.body;
                   },
                   r.high + 2 * kTick, ""});
  cases.push_back({"sell stop at the low", "S2", dip,
                   [](Replay& x, const Bar& b) {
                     auto reply =
                         x.sim.authorized("POST", "/api/v1/stop-orders",
                                          json::serialize(json::object{{"refOrderID", "s2"},
                                                                       {"accountID", "S2"},
                                                                       {"symbol", kSymbol},
                                                                       {"orderSide", "S"},
                                                                       {"stopPrice", grid(b.low)},
                                                                       {"qty", 1}}));
                     ASSERT_EQ(reply.status, 200) << reply.body;
                   },
                   d.low - 2 * kTick, ""});
  // Entered at once at the open; the bar reaches both exits: the stop-loss is taken.
  cases.push_back({"bracket reaching both exits", "K1", both,
                   [](Replay& x, const Bar& b) {
                     auto reply = x.sim.authorized(
                         "POST", "/api/v1/orders/bracket-order",
                         json::serialize(json::object{{"symbol", kSymbol},
                                                      {"side", "B"},
                                                      {"account", "K1"},
                                                      {"quantity", 1},
                                                      {"orderType", "LO"},
                                                      {"conditionPrice", grid(b.open)},
                                                      {"conditionType", "<="},
                                                      {"takeProfitPrice", grid(b.high)},
                                                      {"stopLossPrice", grid(b.low)}}));
                     ASSERT_EQ(reply.status, 200) << reply.body;
                   },
                   w.low - 2 * kTick, "STOP_LOSS"});

  Replay replay({"--seed", "3", "--slippage-ticks", "2"});
  replay.run([&](Replay& x) -> asio::awaitable<void> {
    co_await x.rpc("replay.start", start_request(kBars));
    for (int k = 0; k < kBars; ++k) {
      for (auto& c : cases)
        if (c.bar == k) c.place(x, bars[static_cast<std::size_t>(k)]);
      // Nothing trades before the bar that reaches it (a bracket's entry trades at once).
      for (auto& c : cases) {
        if (c.bar == k && c.expected_bracket.empty()) {
          EXPECT_EQ(x.trades(c.account).size(), 0u) << c.name;
        }
      }
      co_await x.step();
    }
  });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " in bar " + std::to_string(c.bar));
    const auto trades = replay.trades(c.account);
    ASSERT_FALSE(trades.empty());
    const auto& last = trades.back().as_object();
    EXPECT_NEAR(last.at("price").to_number<double>(), c.expected_price, 1e-9);
    EXPECT_EQ(last.at("tradeTime").to_number<std::int64_t>(), kFrom + (c.bar + 1) * kBar);
    if (!c.expected_bracket.empty()) {
      const auto brackets = replay.list("/api/v1/bracket-orders?accountId=" + c.account);
      ASSERT_EQ(brackets.size(), 1u);
      EXPECT_EQ(brackets[0].at("status").as_string(), c.expected_bracket.c_str());
      EXPECT_EQ(trades.size(), 2u);  // the entry and one exit
    }
  }
}

// An order larger than a bar's share of volume trades over several bars, each part within
// the share of its bar; every report carries the cumulative quantity, and nothing is lost.
TEST(SimReplay, LargeOrdersFillPartByPartWithinTheVolumeShare) {
  constexpr int kBars = 30;
  constexpr std::int64_t kQty = 3000;
  const auto bars = reference_bars("5", kBars + 1);
  Replay replay({"--seed", "5", "--fill-volume-share", "0.2", "--commission-pct", "0"});
  std::string market_id, limit_id;
  replay.run([&](Replay& x) -> asio::awaitable<void> {
    co_await x.rpc("replay.start", start_request(kBars));
    auto market = x.order("M", "B", 0, kQty, "MTL");
    EXPECT_EQ(market.status, 200) << market.body;
    market_id = std::string(json::parse(market.body).at("data").at("orderID").as_string());
    // A sell limit far below the market: marketable at once, then resting for its rest.
    auto limit = x.order("P", "S", bars[0].open - 50, kQty, "LO");
    EXPECT_EQ(limit.status, 200) << limit.body;
    limit_id = std::string(json::parse(limit.body).at("data").at("orderID").as_string());
    for (int k = 0; k < kBars; ++k) co_await x.step();
    // After the last bar nothing is left to spread a fill over: a final order fills whole.
    auto last = x.order("F", "S", 0, kQty, "MTL");
    EXPECT_EQ(json::parse(last.body).at("data").at("status").as_string(), "FILLED") << last.body;
  });
  // Both orders share each bar's volume: their parts together stay within the share.
  std::map<std::int64_t, std::int64_t> per_bar;
  for (const std::string account : {"M", "P"}) {
    std::int64_t total = 0;
    for (const auto& t : replay.trades(account)) {
      const auto time = t.at("tradeTime").to_number<std::int64_t>();
      const auto bar = (time - kFrom) / kBar;
      // A part that traded at a bar's open counts in that bar (the market order's parts, and
      // the limit's on arrival); one matched when a bar closed, in the bar that closed.
      const bool at_open = account == "M";
      per_bar[at_open || time == kFrom ? bar : bar - 1] += t.at("qty").to_number<std::int64_t>();
      total += t.at("qty").to_number<std::int64_t>();
      if (at_open) {
        EXPECT_DOUBLE_EQ(t.at("price").to_number<double>(),
                         bars[static_cast<std::size_t>(bar)].open);
      }
    }
    EXPECT_EQ(total, kQty) << account;
  }
  EXPECT_GT(per_bar.size(), 4u);
  for (const auto& [bar, qty] : per_bar) {
    EXPECT_LE(qty, static_cast<std::int64_t>(0.2 * bars[static_cast<std::size_t>(bar)].volume))
        << "bar " << bar;
  }
  for (const auto& id : {market_id, limit_id}) {
    std::int64_t seen = 0;
    int parts = 0;
    std::string status;
    for (const auto& r : replay.list("/api/v1/execution-reports")) {
      if (r.at("orderID").as_string() != id.c_str()) continue;
      const auto filled = r.at("filledQty").to_number<std::int64_t>();
      EXPECT_GE(filled, seen) << id;
      if (filled > seen) ++parts;
      seen = filled;
      status = std::string(r.at("status").as_string());
      EXPECT_EQ(status, filled == kQty ? "FILLED" : filled > 0 ? "PARTIALLY_FILLED" : "NEW");
    }
    EXPECT_EQ(seen, kQty) << id;
    EXPECT_GT(parts, 2) << id;
    EXPECT_EQ(status, "FILLED") << id;
  }
}

// An account's cash is the replay's capital; an order adding exposure beyond what it can
// margin is refused with the reason, reductions never are, and equity is reported.
TEST(SimReplay, OrdersBeyondTheMarginAreRefused) {
  Replay replay({"--seed", "2", "--fill-volume-share", "0"});
  replay.run([&](Replay& x) -> asio::awaitable<void> {
    std::string error;
    try {
      json::object bad = start_request(5, -5.0);
      co_await x.rpc("replay.start", bad);
    } catch (const std::exception& e) {
      error = e.what();
    }
    EXPECT_NE(error.find("\"capital\" must be a positive number"), std::string::npos) << error;
    co_await x.rpc("replay.start", start_request(5, 300'000.0));
    struct Step {
      std::string side;
      std::int64_t qty;
      int status;
    };
    // VN30F2412 about 1300 with margin ratio 0.17: about 221 a contract.
    const std::vector<Step> steps = {
        {"B", 1000, 200},  // about 221,000 of 300,000
        {"B", 1000, 400},  // another 221,000 is not there
        {"S", 2000, 200},  // a reversal into a position of the same size
        {"S", 1000, 400},  // adds exposure again
        {"B", 1000, 200},  // back to flat: a reduction
    };
    for (const auto& s : steps) {
      auto reply = x.order("C", s.side, 0, s.qty, "MTL");
      EXPECT_EQ(reply.status, s.status) << s.side << s.qty << ": " << reply.body;
      if (s.status == 400) {
        const std::string message(json::parse(reply.body).at("error").as_string());
        EXPECT_EQ(message.rfind("Insufficient margin: needs ", 0), 0u) << message;
        EXPECT_NE(message.find(", available "), std::string::npos) << message;
        // The refusal is an execution report too.
        const auto reports = x.list("/api/v1/execution-reports");
        EXPECT_FALSE(reports.empty());
        if (reports.empty()) continue;
        EXPECT_EQ(reports.back().at("status").as_string(), "REJECTED");
        EXPECT_EQ(reports.back().at("message").as_string(), message.c_str());
      }
    }
    co_await x.step();
  });
  for (const auto& a : replay.list("/api/v1/accounts")) {
    if (a.at("accountId").as_string() != "C") continue;
    const double equity = a.at("equity").to_number<double>();
    EXPECT_DOUBLE_EQ(equity, a.at("cash").to_number<double>());  // flat again
    EXPECT_LT(equity, 300'000.0);                                // fees
    EXPECT_GT(equity, 250'000.0);
    return;
  }
  ADD_FAILURE() << "no account C";
}

// The backtest runtime passes its capital on: the sim's account starts with it as cash.
TEST(SimReplay, TheBacktestsCapitalIsTheAccountsCash) {
  Replay replay({"--seed", "2"});
  replay.run([&](Replay& x) -> asio::awaitable<void> {
    tolbu_sdk::backtest::BacktestRuntime runtime(
        tolbu_sdk::TolbuConfig::from_endpoints(x.sim.base_url(), x.sim.base_url(), x.sim.ws_url(),
                                               x.sim.jwt()),
        x.stream(),
        {.symbol = kSymbol,
         .resolution = 60,
         .from_ms = kFrom,
         .to_ms = kFrom + 3 * kBar,
         .capital = 12'345.0});
    co_await runtime.start();
  });
  const auto accounts = replay.list("/api/v1/accounts");
  ASSERT_EQ(accounts.size(), 1u);
  EXPECT_DOUBLE_EQ(accounts[0].at("cash").to_number<double>(), 12'345.0);
  EXPECT_DOUBLE_EQ(accounts[0].at("equity").to_number<double>(), 12'345.0);
}

// With sessions a replay steps only through bars in them: from Friday's last minutes to
// Monday's first, and a market order sent while Friday's last bar is handled fills at
// Monday's open, not at Friday's close.
TEST(SimReplay, WithSessionsTheReplaySkipsToTheNextSession) {
  constexpr std::int64_t kFriday = 1'733'470'800'000;  // 2024-12-06 14:40 UTC+7
  constexpr std::int64_t kMonday = 1'733'709'600'000;  // 2024-12-09 09:00 UTC+7
  tolbu_test::SimProcess ref({"--speed", "0", "--sessions", "vn-derivatives", "--start-ms",
                              std::to_string(kMonday + 86'400'000)});
  const json::value monday =
      json::parse(ref.get("/GetOhlcvHis/" + std::string(kSymbol) + "/60/" +
                          std::to_string(kMonday) + "/" + std::to_string(kMonday))
                      .body);
  const json::value friday = json::parse(ref.get("/GetOhlcvHis/" + std::string(kSymbol) + "/60/" +
                                                 std::to_string(kFriday + 4 * kBar) + "/" +
                                                 std::to_string(kFriday + 4 * kBar))
                                             .body);
  ASSERT_EQ(monday.as_array().size(), 1u);
  ASSERT_EQ(friday.as_array().size(), 1u);
  const double monday_open = monday.at(0).at("open").to_number<double>();
  ASSERT_NE(monday_open, friday.at(0).at("close").to_number<double>());

  Replay replay({"--seed", "1", "--sessions", "vn-derivatives"});
  std::vector<std::int64_t> times;
  replay.run([&](Replay& x) -> asio::awaitable<void> {
    json::object request{
        {"symbol", kSymbol}, {"resolution", 60}, {"from", kFriday}, {"to", kMonday + 10 * kBar}};
    const json::value started = co_await x.rpc("replay.start", request);
    EXPECT_EQ(started.at("bars").to_number<int>(), 15);
    json::value step;
    do {
      // The clock stands at the start of the bar to come.
      times.push_back(json::parse(x.sim.get("/_sim/clock").body).at("time_ms").as_int64());
      if (times.size() == 6) {  // Friday's last bar handled
        auto reply = x.order("W", "B", 0, 1, "MTL");
        EXPECT_EQ(reply.status, 200) << reply.body;
      }
      step = co_await x.rpc("replay.next", json::object());
    } while (!step.as_object().contains("done"));
  });
  std::vector<std::int64_t> expected;
  for (int i = 0; i < 5; ++i) expected.push_back(kFriday + i * kBar);
  for (int i = 0; i < 10; ++i) expected.push_back(kMonday + i * kBar);
  expected.push_back(kMonday + 10 * kBar);  // after the last bar: its end
  EXPECT_EQ(times, expected);
  const auto trades = replay.trades("W");
  ASSERT_EQ(trades.size(), 1u);
  EXPECT_DOUBLE_EQ(trades[0].at("price").to_number<double>(), monday_open);
  EXPECT_EQ(trades[0].at("tradeTime").to_number<std::int64_t>(), kMonday);
}

// Resting orders are margined when they fill: of two limits each within the capital alone,
// the one filling second gets what the margin still covers, and its rest is cancelled with
// the reason.
TEST(SimReplay, ARestingOrderBeyondTheMarginWhenItFillsIsCancelled) {
  constexpr int kBars = 30;
  const auto bars = reference_bars("2", kBars);
  double lowest = bars[0].open;
  for (const auto& b : bars) lowest = std::min(lowest, b.low);
  ASSERT_LT(lowest, bars[0].open - kTick);
  Replay replay({"--seed", "2", "--fill-volume-share", "0"});
  replay.run([&](Replay& x) -> asio::awaitable<void> {
    co_await x.rpc("replay.start", start_request(kBars, 300'000.0));
    for (int i = 0; i < 2; ++i) {
      auto reply = x.order("R", "B", lowest, 1000, "LO");
      EXPECT_EQ(reply.status, 200) << reply.body;
    }
    for (int k = 0; k < kBars; ++k) co_await x.step();
  });
  const auto orders = replay.list("/api/v1/orders?accountId=R");
  ASSERT_EQ(orders.size(), 2u);
  EXPECT_EQ(orders[0].at("status").as_string(), "FILLED");
  EXPECT_EQ(orders[1].at("status").as_string(), "CANCELLED");
  const auto part = orders[1].at("filledQty").to_number<std::int64_t>();
  EXPECT_GT(part, 0);
  EXPECT_LT(part, 1000);
  const std::string message(orders[1].at("message").as_string());
  EXPECT_EQ(message.rfind("Insufficient margin: needs ", 0), 0u) << message;
}

// The lockstep backtest runtime against tolbu-sim --replay, and scripts/backtest end to end:
// fills and execution reports in order, reproducible reports, the parameter sweep.

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fixture.hpp"
#include "sim_process.hpp"
#include "tolbu_sdk/backtest/runtime.hpp"
#include "tolbu_sdk/config.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/features/orders.hpp"
#include "tolbu_sdk/features/prices.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/platform/centrifuge.hpp"

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tolbu_sdk::backtest::BacktestRuntime;
using tolbu_sdk::backtest::ReplayBar;

constexpr std::int64_t kFrom = 1'704'186'000'000;  // 2024-01-02T09:00:00Z
constexpr int kResolution = 60;
constexpr std::int64_t kBar = kResolution * 1000;

template <typename F>
void run_on_loop(asio::io_context& loop, F body) {
  std::exception_ptr failure;
  asio::co_spawn(loop, body(), [&](std::exception_ptr e) {
    failure = e;
    loop.stop();
  });
  loop.run();
  if (failure) std::rethrow_exception(failure);
}

using backtest_test::read_file;

tolbu_sdk::TolbuConfig config_of(const tolbu_test::SimProcess& sim) {
  return tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(), sim.ws_url(),
                                                sim.jwt());
}

struct Event {
  std::string kind;  // "candle", "report", "bar"
  std::int64_t time = 0;
  std::string status;
  double price = 0;
};

// A market order placed while bar 3 is handled fills at the open of bar 4, and its report
// reaches the strategy before anything of bar 4 beyond its opening price.
TEST(BacktestRuntime, OrdersFillAtTheNextBarsOpenAndReportBeforeIt) {
  tolbu_test::SimProcess sim({"--replay", "--jwt", "lockstep", "--seed", "7"});
  auto config = config_of(sim);
  tolbu_sdk::features::OrderService orders(config);
  tolbu_sdk::features::MarketDataService prices(config);
  asio::io_context loop;
  tolbu_sdk::features::TolbuStream stream(config);
  BacktestRuntime runtime(
      config, stream,
      {.symbol = "HPG", .resolution = kResolution, .from_ms = kFrom, .to_ms = kFrom + 8 * kBar});
  std::vector<Event> events;
  std::vector<ReplayBar> bars;
  std::string order_id;

  run_on_loop(loop, [&]() -> asio::awaitable<void> {
    co_await stream.connect();
    co_await stream.client()->ready(10s);
    EXPECT_EQ(co_await runtime.start(), 8u);
    // The clock stands at the first bar's start: history ends there.
    const auto history = prices.fetch_candles("HPG", kResolution, kFrom - 10 * kBar, kFrom + kBar);
    EXPECT_FALSE(history.empty());
    if (!history.empty()) {
      EXPECT_EQ(history.back().time, kFrom);
    }

    co_await stream.subscribe_candles("HPG", kResolution, [&](const tolbu_sdk::types::Candle& c) {
      events.push_back({"candle", c.time, "", c.open});
    });
    co_await stream.subscribe_order_execution_report("SIM0001", [&](const json::value& r) {
      const auto& o = r.as_object();
      events.push_back({"report", o.at("updatedTime").to_number<std::int64_t>(),
                        std::string(o.at("status").as_string()),
                        o.at("avgPrice").to_number<double>()});
    });
    // Owns a string, as a natural callback would: bound to a variable, as g++ needs.
    auto on_bar = [&, ref = std::string("lockstep-1")](const ReplayBar& bar) {
      bars.push_back(bar);
      events.push_back({"bar", bar.time_ms, "", bar.close});
      if (bar.index == 3) {
        auto answer = orders.place_order("HPG", "B", 0, 100, "MTL", "SIM0001", ref);
        ASSERT_TRUE(answer.success) << answer.message;
        order_id = answer.order_id;
      }
    };
    co_await runtime.run(on_bar);
    co_await stream.disconnect();
  });

  ASSERT_EQ(bars.size(), 8u);
  for (std::size_t i = 0; i < bars.size(); ++i) {
    EXPECT_EQ(bars[i].index, i);
    EXPECT_EQ(bars[i].time_ms, kFrom + static_cast<std::int64_t>(i) * kBar);
  }
  EXPECT_EQ(runtime.progress().done, 8u);
  EXPECT_DOUBLE_EQ(runtime.progress().percent(), 100.0);

  // Bar 4 as the micro API has it, now that the clock is past it.
  const auto bar4 = prices.fetch_candles("HPG", kResolution, kFrom + 4 * kBar, kFrom + 4 * kBar);
  ASSERT_EQ(bar4.size(), 1u);
  auto at = [&](auto pred) {
    return std::find_if(events.begin(), events.end(), pred) - events.begin();
  };
  const auto filled = at([](const Event& e) { return e.kind == "report" && e.status == "FILLED"; });
  const auto bar3 =
      at([](const Event& e) { return e.kind == "bar" && e.time == kFrom + 3 * kBar; });
  const auto bar4_marker =
      at([](const Event& e) { return e.kind == "bar" && e.time == kFrom + 4 * kBar; });
  ASSERT_LT(filled, static_cast<std::ptrdiff_t>(events.size()));
  EXPECT_DOUBLE_EQ(events[static_cast<std::size_t>(filled)].price, bar4[0].open);
  EXPECT_EQ(events[static_cast<std::size_t>(filled)].time, kFrom + 4 * kBar);
  EXPECT_GT(filled, bar3);
  EXPECT_LT(filled, bar4_marker);
  // The complete bar 4 (its second publication) comes after the report.
  std::vector<std::ptrdiff_t> bar4_candles;
  for (std::size_t i = 0; i < events.size(); ++i)
    if (events[i].kind == "candle" && events[i].time == kFrom + 4 * kBar)
      bar4_candles.push_back(static_cast<std::ptrdiff_t>(i));
  ASSERT_EQ(bar4_candles.size(), 2u);  // opening, then complete
  EXPECT_LT(bar4_candles[0], filled);
  EXPECT_GT(bar4_candles[1], filled);

  // Exactly one trade, at that price.
  const auto trades = sim.authorized("GET", "/api/v1/trades?accountId=SIM0001");
  const auto trade_list = json::parse(trades.body).at("data").as_array();
  ASSERT_EQ(trade_list.size(), 1u);
  EXPECT_DOUBLE_EQ(trade_list[0].at("price").to_number<double>(), bar4[0].open);
}

// The text of what start() or run() throws; "" when nothing is thrown.
asio::awaitable<std::string> error_of(BacktestRuntime& runtime, bool run) {
  try {
    if (run) {
      co_await runtime.run();
    } else {
      co_await runtime.start();
    }
  } catch (const std::exception& e) {
    co_return std::string(e.what());
  }
  co_return std::string();
}

TEST(BacktestRuntime, RefusedRangesAndSteppingBeforeStart) {
  tolbu_test::SimProcess sim({"--replay", "--jwt", "t"});
  // The live wire is untouched: a sim without --replay refuses the replay.
  tolbu_test::SimProcess live({"--speed", "0", "--jwt", "t"});
  auto config = config_of(sim);
  auto live_config = config_of(live);
  asio::io_context loop;
  tolbu_sdk::features::TolbuStream stream(config);
  tolbu_sdk::features::TolbuStream live_stream(live_config);
  auto range = [](std::string symbol, std::int64_t bars) {
    return tolbu_sdk::backtest::ReplayRange{std::move(symbol), kResolution, kFrom,
                                            kFrom + bars * kBar};
  };
  BacktestRuntime unknown(config, stream, range("NOPE", 1));
  BacktestRuntime backwards(config, stream, range("HPG", 0));
  BacktestRuntime not_started(config, stream, range("HPG", 1));
  BacktestRuntime on_live(live_config, live_stream, range("HPG", 1));
  std::vector<std::string> errors;
  BacktestRuntime unconnected(config, live_stream, range("HPG", 1));
  run_on_loop(loop, [&]() -> asio::awaitable<void> {
    errors.push_back(co_await error_of(unconnected, false));  // before the stream connects
    co_await stream.connect();
    co_await stream.client()->ready(10s);
    co_await live_stream.connect();
    co_await live_stream.client()->ready(10s);
    errors.push_back(co_await error_of(unknown, false));
    errors.push_back(co_await error_of(backwards, false));
    errors.push_back(co_await error_of(not_started, true));
    errors.push_back(co_await error_of(on_live, false));
  });
  ASSERT_EQ(errors.size(), 5u);
  EXPECT_NE(errors[0].find("connect"), std::string::npos) << errors[0];
  EXPECT_NE(errors[1].find("unknown symbol 'NOPE'"), std::string::npos) << errors[1];
  EXPECT_NE(errors[2].find("from < to"), std::string::npos) << errors[2];
  EXPECT_NE(errors[3].find("before start()"), std::string::npos) << errors[3];
  EXPECT_NE(errors[4].find("method not found"), std::string::npos) << errors[4];
}

// scripts/backtest with the binaries of this build.
int backtest_script(const std::string& args, const fs::path& log) {
  const std::string command = "TOLBU_BUILD_DIR='" BACKTEST_BUILD_DIR "' '" BACKTEST_SOURCE_DIR
                              "/scripts/backtest' " +
                              args + " >'" + log.string() + "' 2>&1";
  return std::system(command.c_str());
}

class BacktestScript : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(BACKTEST_ARTIFACT_DIR) /
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  fs::path dir_;
};

TEST_F(BacktestScript, TwoRunsWriteIdenticalReports) {
  const std::string range = "--from 2024-01-02 --bars 2000 --fast 3 --slow 8 --seed 5";
  ASSERT_EQ(backtest_script(range + " --out '" + (dir_ / "a").string() + "'", dir_ / "a.log"), 0)
      << read_file(dir_ / "a.log");
  ASSERT_EQ(backtest_script(range + " --out '" + (dir_ / "b").string() + "'", dir_ / "b.log"), 0)
      << read_file(dir_ / "b.log");
  const auto a = read_file(dir_ / "a" / "report.json");
  const auto b = read_file(dir_ / "b" / "report.json");
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a, b);
  EXPECT_EQ(read_file(dir_ / "a" / "report.html"), read_file(dir_ / "b" / "report.html"));
  const auto report = json::parse(a).as_object();
  EXPECT_EQ(report.at("metrics").at("bars").to_number<int>(), 2000);
  EXPECT_GT(report.at("metrics").at("trades").to_number<int>(), 0);
  EXPECT_EQ(report.at("equity_curve").as_array().size(), 2000u);
  // The summary was printed.
  EXPECT_NE(read_file(dir_ / "a.log").find("== Backtest summary"), std::string::npos);
}

TEST_F(BacktestScript, SweepOfTwoByTwoSortedByTheMetric) {
  ASSERT_EQ(backtest_script("--from 2024-01-02 --bars 1000 --sweep fast=3,5 "
                            "slow=8,13 --sort sharpe --jobs 2 --out '" +
                                dir_.string() + "'",
                            dir_ / "sweep.log"),
            0)
      << read_file(dir_ / "sweep.log");
  std::istringstream csv(read_file(dir_ / "sweep.csv"));
  std::string line;
  std::getline(csv, line);
  EXPECT_EQ(line.rfind("fast,slow,trades,", 0), 0u) << line;
  std::vector<std::pair<std::string, double>> rows;
  while (std::getline(csv, line)) {
    std::vector<std::string> cells;
    std::istringstream cell(line);
    for (std::string c; std::getline(cell, c, ',');) cells.push_back(c);
    ASSERT_GE(cells.size(), 9u) << line;
    rows.emplace_back(cells[0] + "/" + cells[1], std::stod(cells[7]));
  }
  ASSERT_EQ(rows.size(), 4u);
  for (std::size_t i = 1; i < rows.size(); ++i) EXPECT_GE(rows[i - 1].second, rows[i].second);
  std::vector<std::string> grid;
  for (const auto& r : rows) grid.push_back(r.first);
  std::sort(grid.begin(), grid.end());
  EXPECT_EQ(grid, (std::vector<std::string>{"3/13", "3/8", "5/13", "5/8"}));
  EXPECT_NE(read_file(dir_ / "sweep.log").find("4 backtests in"), std::string::npos);
}

}  // namespace

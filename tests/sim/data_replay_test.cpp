// Histories from CSV files in tolbu-sim: fetch_candles saves a back end's candles, a sim
// started with --data serves and replays exactly those; a file's gaps are stepped over, and
// orders fill at the file's prices.

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "loop_support.hpp"
#include "sim_process.hpp"
#include "tolbu_sdk/backtest/runtime.hpp"
#include "tolbu_sdk/config.hpp"
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
using tolbu_sdk::types::Candle;

constexpr std::int64_t kFrom = 1'704'186'000'000;  // 2024-01-02T09:00:00Z
constexpr std::int64_t kBar = 60'000;

tolbu_sdk::TolbuConfig config_of(const tolbu_test::SimProcess& sim) {
  return tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(), sim.ws_url(),
                                                sim.jwt());
}

fs::path scratch(const std::string& name) {
  const auto dir = fs::temp_directory_path() / ("tolbu-data-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  return dir / name;
}

struct Replayed {
  std::vector<ReplayBar> bars;
  std::map<std::int64_t, Candle> candles;  // the last publication of each bar: complete
  std::vector<double> fills;
};

// Replays [from, to) of symbol; with order_at_bar set, a market buy of qty is placed then.
Replayed replay(const tolbu_test::SimProcess& sim, const std::string& symbol, std::int64_t from,
                std::int64_t to, std::optional<std::uint64_t> order_at_bar = std::nullopt,
                std::int64_t qty = 1) {
  auto config = config_of(sim);
  tolbu_sdk::features::OrderService orders(config);
  asio::io_context loop;
  tolbu_sdk::features::TolbuStream stream(config);
  BacktestRuntime runtime(config, stream,
                          {.symbol = symbol, .resolution = 60, .from_ms = from, .to_ms = to});
  Replayed out;
  tolbu_test::run_on(
      loop,
      [&]() -> asio::awaitable<void> {
        co_await stream.connect();
        co_await stream.client()->ready(10s);
        co_await runtime.start();
        co_await stream.subscribe_candles(symbol, 60,
                                          [&](const Candle& c) { out.candles[c.time] = c; });
        co_await stream.subscribe_order_execution_report("SIM0001", [&](const json::value& r) {
          const auto& o = r.as_object();
          if (o.at("status").as_string() == "FILLED")
            out.fills.push_back(o.at("avgPrice").to_number<double>());
        });
        auto on_bar = [&, ref = std::string("data-1")](const ReplayBar& bar) {
          out.bars.push_back(bar);
          if (order_at_bar && bar.index == *order_at_bar) {
            auto answer = orders.place_order(symbol, "B", 0, qty, "MTL", "SIM0001", ref);
            EXPECT_TRUE(answer.success) << answer.message;
          }
        };
        co_await runtime.run(on_bar);
        co_await stream.disconnect();
      },
      120s);
  return out;
}

TEST(DataReplay, FetchedHistoryServesAndReplaysTheSameCandles) {
  constexpr std::int64_t kBars = 40;
  const auto file = scratch("HPG.csv");
  {
    tolbu_test::SimProcess source({"--speed", "0", "--start-ms", std::to_string(kFrom + 100 * kBar),
                                   "--jwt", "t", "--seed", "5"});
    // Pages of 7 candles: the pages must join without a loss or a repeat.
    const std::string command =
        std::string(FETCH_CANDLES_PATH) + " --backend " + source.base_url() +
        " --symbol HPG --resolution 60 --from " + std::to_string(kFrom) + " --to " +
        std::to_string(kFrom + kBars * kBar) + " --page 7 --out " + file.string() + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  tolbu_test::SimProcess original({"--speed", "0", "--start-ms", std::to_string(kFrom + 100 * kBar),
                                   "--jwt", "t", "--seed", "5"});
  const auto original_config = config_of(original);
  tolbu_sdk::features::MarketDataService original_prices(original_config);
  const auto expected = original_prices.fetch_candles("HPG", 60, kFrom, kFrom + (kBars - 1) * kBar);
  ASSERT_EQ(expected.size(), static_cast<std::size_t>(kBars));

  // A different seed: every candle must come from the file.
  tolbu_test::SimProcess loaded(
      {"--replay", "--jwt", "t", "--seed", "99", "--data", "HPG=" + file.string()});
  const auto loaded_config = config_of(loaded);
  tolbu_sdk::features::MarketDataService loaded_prices(loaded_config);
  EXPECT_EQ(loaded_prices.fetch_candles("HPG", 60, 0, kFrom + 1000 * kBar), expected);

  const auto replayed = replay(loaded, "HPG", kFrom, kFrom + kBars * kBar);
  ASSERT_EQ(replayed.bars.size(), static_cast<std::size_t>(kBars));
  ASSERT_EQ(replayed.candles.size(), static_cast<std::size_t>(kBars));
  for (const auto& c : expected) EXPECT_EQ(replayed.candles.at(c.time), c) << c.time;
  fs::remove_all(file.parent_path());
}

TEST(DataReplay, GapsAreSteppedOverAndOrdersFillAtTheFilesPrices) {
  // Two sessions a night apart, prices far from anything the generated market would have.
  const auto file = scratch("GAP.csv");
  const std::int64_t night = 18 * 3600 * 1000;
  const std::vector<std::int64_t> times = {kFrom, kFrom + kBar, kFrom + 2 * kBar, kFrom + night,
                                           kFrom + night + kBar};
  const std::vector<double> opens = {501.5, 502, 503.25, 490.75, 491};
  {
    std::ofstream out(file);
    out << "time,open,high,low,close,volume\n";
    for (std::size_t i = 0; i < times.size(); ++i)
      out << times[i] << ',' << opens[i] << ',' << opens[i] + 2 << ',' << opens[i] - 1 << ','
          << opens[i] + 1 << ",1000\n";
  }
  tolbu_test::SimProcess sim({"--replay", "--jwt", "t", "--data", "GAP=" + file.string()});
  // Without a range of its own, a replay of the whole day steps the file's bars only; a buy
  // at the session's last bar fills at the next session's open.
  const auto replayed = replay(sim, "GAP", kFrom - 3600'000, kFrom + night + 3600'000, 2, 3);
  ASSERT_EQ(replayed.bars.size(), times.size());
  for (std::size_t i = 0; i < times.size(); ++i) EXPECT_EQ(replayed.bars[i].time_ms, times[i]);
  ASSERT_EQ(replayed.fills.size(), 1u);
  EXPECT_DOUBLE_EQ(replayed.fills[0], opens[3]);
  EXPECT_EQ(replayed.candles.size(), times.size());
  EXPECT_DOUBLE_EQ(replayed.candles.at(times[4]).close, opens[4] + 1);
  // A file's prices are not moved by the test endpoint: refused, not ignored.
  const auto moved = sim.post("/_sim/price", R"({"symbol":"GAP","price":400})");
  EXPECT_EQ(moved.status, 400) << moved.body;

  // A faulty file stops the sim before it listens, naming the file and line.
  {
    std::ofstream out(file);
    out << "time,open,high,low,close,volume\n"
        << kFrom << ",1,1,1,1,1\n"
        << kFrom << ",1,1,1,1,1\n";
  }
  const std::string command = std::string(TOLBU_SIM_PATH) +
                              " --replay --data GAP=" + file.string() + " >/dev/null 2>" +
                              file.string() + ".err";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  std::ifstream err(file.string() + ".err");
  std::string text((std::istreambuf_iterator<char>(err)), {});
  EXPECT_NE(text.find(file.string() + ":3: duplicate time"), std::string::npos) << text;
  fs::remove_all(file.parent_path());
}

}  // namespace

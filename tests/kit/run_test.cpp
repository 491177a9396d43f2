// A strategy class run by the kit against tolbu-sim, live and over a replay: prices reach it
// between bars (never while warming up), and the end of the run cancels its working orders
// before flattening, so that the account ends flat with nothing left on the book.

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "sim_process.hpp"
#include "tolbu_sdk/features/orders.hpp"
#include "tolbu_sdk/kit/strategy.hpp"

namespace {

namespace kit = tolbu_sdk::kit;
namespace fs = std::filesystem;

// Buys one lot at the market and rests one lot 5 % below on its first live bar, then stops
// once prices have come between bars.
class Probe : public kit::Strategy {
 public:
  void on_start(kit::Context&) override { started = true; }

  void on_bar(kit::Context& ctx, const tolbu_sdk::strategy::Bar& bar) override {
    if (ctx.warming_up()) return;
    most_prices_between_bars = std::max(most_prices_between_bars, prices_since_bar);
    prices_since_bar = 0;
    if (++live_bars == 1) {
      const auto& symbol = ctx.symbol(bar.symbol);
      resting = ctx.buy(bar.symbol, symbol.lot_size, symbol.normalize_price(bar.close * 0.95),
                        "resting");
      ctx.buy(bar.symbol, symbol.lot_size, 0.0, "market");
    } else if (live_bars >= 4 && most_prices_between_bars > 0) {
      ctx.stop("probe done");
    }
  }

  void on_price(kit::Context& ctx, const std::string& symbol, double price) override {
    if (ctx.warming_up() || !started || price <= 0 || symbol != "VN30F2412") ++bad_prices;
    ++prices;
    ++prices_since_bar;
  }

  void on_order(kit::Context&, const kit::OrderEvent& event) override {
    if (event.kind == kit::OrderEvent::Kind::DONE) final_status[event.order.ref] = event.order.status;
  }

  bool started = false;
  int live_bars = 0;
  int prices = 0;
  int bad_prices = 0;
  int prices_since_bar = 0;
  int most_prices_between_bars = 0;
  std::string resting;
  std::map<std::string, kit::OrderStatus> final_status;
};

TEST(KitRun, PricesBetweenBarsAndAFlatBookAtTheEnd) {
  struct Case {
    const char* name;
    std::vector<std::string> sim_args;
    bool backtest;
  };
  const Case cases[] = {
      {"live", {"--speed", "240", "--tick-ms", "50", "--seed", "7", "--jwt", "t"}, false},
      {"replay", {"--replay", "--seed", "3", "--jwt", "t"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tolbu_test::SimProcess sim(c.sim_args);
    const fs::path dir = fs::temp_directory_path() /
                         ("tolbu-kit-run-" + std::to_string(::getpid()) + "-" + c.name);
    fs::remove_all(dir);
    kit::RunOptions options{.name = "probe", .symbols = {"VN30F2412"}};
    options.backend = sim.base_url();
    options.ws = kit::streaming_url(sim.base_url());
    options.token = "t";
    options.history_bars = 20;
    options.duration_seconds = 120;  // a bound only: the probe stops itself
    options.control_port = -1;
    options.log_dir = (dir / "logs").string();
    options.report_dir = (dir / "report").string();
    options.title = std::string("Probe ") + c.name;
    if (c.backtest) {
      options.backtest = true;
      options.from_ms = *kit::parse_time_ms("2024-01-02");
      options.to_ms = options.from_ms + 200 * 60'000;
    }
    Probe probe;
    EXPECT_EQ(kit::run(probe, options), 0);

    EXPECT_GT(probe.prices, 0);
    EXPECT_EQ(probe.bad_prices, 0);
    EXPECT_GT(probe.most_prices_between_bars, 0);
    ASSERT_FALSE(probe.resting.empty());
    EXPECT_EQ(probe.final_status[probe.resting], kit::OrderStatus::CANCELLED);

    // The back end's word: flat, nothing working.
    const auto config = tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(),
                                                               sim.ws_url(), "t");
    tolbu_sdk::features::OrderService service(config);
    for (const auto& order : service.get_orders(std::string("SIM0001"))) {
      EXPECT_TRUE(order.status == "FILLED" || order.status == "CANCELLED")
          << order.order_id << " " << order.status;
    }
    const auto accounts = service.get_accounts();
    ASSERT_TRUE(accounts && !accounts->empty());
    for (const auto& position : accounts->front().at("positions").as_array()) {
      EXPECT_EQ(position.at("qty").to_number<std::int64_t>(), 0) << position;
    }

    std::ifstream in(dir / "report" / "report.html");
    const std::string html(std::istreambuf_iterator<char>(in), {});
    EXPECT_NE(html.find(options.title), std::string::npos);
    fs::remove_all(dir);
  }
}

// Buys a quantity that is no whole lot on every live bar; stops itself after a few.
class OddLot : public kit::Strategy {
 public:
  void on_bar(kit::Context& ctx, const tolbu_sdk::strategy::Bar& bar) override {
    if (ctx.warming_up()) return;
    refs.push_back(ctx.buy(bar.symbol, 1, 0.0));
    if (++live_bars >= 3) ctx.stop("odd lot done");
  }
  int live_bars = 0;
  std::vector<std::string> refs;
};

// An order the kit's rules refuse (1 share of a 100-share lot) fails a backtest at once with
// a non-zero exit and the lot size named; live, each is refused and the run goes on.
TEST(KitRun, AnOrderBelowTheLotSizeFailsABacktest) {
  struct Case {
    const char* name;
    std::vector<std::string> sim_args;
    bool backtest;
  };
  const Case cases[] = {
      {"replay", {"--replay", "--seed", "3", "--jwt", "t"}, true},
      {"live", {"--speed", "240", "--tick-ms", "50", "--seed", "7", "--jwt", "t"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tolbu_test::SimProcess sim(c.sim_args);
    const fs::path dir = fs::temp_directory_path() /
                         ("tolbu-kit-lot-" + std::to_string(::getpid()) + "-" + c.name);
    fs::remove_all(dir);
    kit::RunOptions options{.name = "oddlot", .symbols = {"HPG"}};
    options.backend = sim.base_url();
    options.ws = kit::streaming_url(sim.base_url());
    options.token = "t";
    options.history_bars = 5;
    options.duration_seconds = 120;
    options.control_port = -1;
    options.log_dir = (dir / "logs").string();
    if (c.backtest) {
      options.backtest = true;
      options.from_ms = *kit::parse_time_ms("2024-01-02");
      options.to_ms = options.from_ms + 100 * 60'000;
    }
    OddLot strategy;
    EXPECT_EQ(kit::run(strategy, options), c.backtest ? 1 : 0);
    // The backtest stopped at its first refusal; live went on to stop itself.
    EXPECT_EQ(strategy.live_bars, c.backtest ? 1 : 3);
    for (const auto& ref : strategy.refs) EXPECT_EQ(ref, "");
    if (c.backtest) {  // the first run of the process: its log file is this run's
      std::ifstream in(dir / "logs" / "tolbu_strategy.log");
      const std::string log(std::istreambuf_iterator<char>(in), {});
      EXPECT_NE(log.find("Order on HPG refused: Quantity 1 of HPG is not a multiple of its lot "
                         "size 100"),
                std::string::npos);
    }
    fs::remove_all(dir);
  }
}

}  // namespace

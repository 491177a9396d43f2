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

// Churns one lot each bar until the guard halts on the fees' drawdown; then every entry is
// refused while the guard's own close-out leaves the account flat.
class Churner : public kit::Strategy {
 public:
  void on_bar(kit::Context& ctx, const tolbu_sdk::strategy::Bar& bar) override {
    if (ctx.warming_up()) return;
    ++bars;
    if (bars == 1) {
      oversized_refusal = ctx.buy(bar.symbol, 3).empty() ? ctx.refusal() : "";
    }
    if (ctx.risk()->halted()) {
      if (halted_at == 0) halted_at = bars;
      if (bars > halted_at + 2) {
        flat_after_halt = flat_after_halt && ctx.portfolio().position(bar.symbol) == 0;
        refused_after_halt += ctx.target(bar.symbol, 1).empty() ? 1 : 0;
      }
      if (bars >= halted_at + 10) ctx.stop("seen enough");
      return;
    }
    ctx.target(bar.symbol, bars % 2 == 0 ? 1 : -1);
  }

  int bars = 0;
  int halted_at = 0;
  int refused_after_halt = 0;
  bool flat_after_halt = true;
  std::string oversized_refusal;
};

TEST(KitRun, TheRiskGuardHaltsOnALossLimitAndFlattens) {
  tolbu_test::SimProcess sim({"--replay", "--seed", "5", "--jwt", "t"});
  kit::RunOptions options{.name = "churner", .symbols = {"VN30F2412"}};
  options.backend = sim.base_url();
  options.ws = kit::streaming_url(sim.base_url());
  options.token = "t";
  options.history_bars = 5;
  options.duration_seconds = 120;
  options.control_port = -1;
  options.log_dir = (fs::temp_directory_path() / ("tolbu-kit-risk-" + std::to_string(::getpid())))
                        .string();
  options.backtest = true;
  options.from_ms = *kit::parse_time_ms("2024-01-02");
  options.to_ms = options.from_ms + 300 * 60'000;
  options.capital = 100'000;
  options.risk = kit::RiskLimits{.max_order_qty = 2, .max_drawdown_pct = 0.01};
  Churner churner;
  EXPECT_EQ(kit::run(churner, options), 0);

  EXPECT_NE(churner.oversized_refusal.find("over the limit of 2"), std::string::npos)
      << churner.oversized_refusal;
  ASSERT_GT(churner.halted_at, 0) << "the fees never crossed 0.01 % of drawdown";
  EXPECT_TRUE(churner.flat_after_halt);
  EXPECT_EQ(churner.refused_after_halt, 8);
  fs::remove_all(options.log_dir);
}

}  // namespace

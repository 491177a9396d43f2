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
#include <set>
#include <string>
#include <vector>

#include "sim_process.hpp"
#include "tolbu_sdk/features/orders.hpp"
#include "tolbu_sdk/kit/strategy.hpp"

namespace {

namespace kit = tolbu_sdk::kit;
namespace fs = std::filesystem;

// An empty folder of this test process for a run's logs and report.
fs::path fresh_dir(const std::string& name) {
  const fs::path dir =
      fs::temp_directory_path() / ("tolbu-kit-" + name + "-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  return dir;
}

// A kit run against the sim with its logs and report under dir: over `bars` one-minute bars
// of replay from 2024-01-02, or live without them.
kit::RunOptions run_options(const tolbu_test::SimProcess& sim, std::string name,
                            std::vector<std::string> symbols, const fs::path& dir, int bars = 0) {
  kit::RunOptions options{.name = std::move(name), .symbols = std::move(symbols)};
  options.backend = sim.base_url();
  options.ws = kit::streaming_url(sim.base_url());
  options.token = "t";
  options.history_bars = 5;
  options.duration_seconds = 120;  // a bound only: the strategies stop themselves
  options.control_port = -1;
  options.log_dir = (dir / "logs").string();
  options.report_dir = (dir / "report").string();
  if (bars > 0) {
    options.backtest = true;
    options.from_ms = *kit::parse_time_ms("2024-01-02");
    options.to_ms = options.from_ms + std::int64_t{bars} * 60'000;
  }
  return options;
}

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
    const fs::path dir = fresh_dir(std::string("run-") + c.name);
    auto options = run_options(sim, "probe", {"VN30F2412"}, dir, c.backtest ? 200 : 0);
    options.history_bars = 20;
    options.title = std::string("Probe ") + c.name;
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
    // Flat at the end: the report's net result is the account's, to the cent.
    std::ifstream json_in(dir / "report" / "report.json");
    const auto report =
        boost::json::parse(std::string(std::istreambuf_iterator<char>(json_in), {}));
    EXPECT_NEAR(report.at("metrics").at("net_pnl").to_number<double>(),
                accounts->front().at("totalEquity").to_number<double>() - 10'000'000'000.0, 0.005);
    fs::remove_all(dir);
  }
}

// Trades on every bar of a replay: market orders both ways and a marketable limit, so that
// commission, fees per contract and slippage all add up. Notes what the clock said when
// each order was sent and when each fill came.
class Churner : public kit::Strategy {
 public:
  void on_bar(kit::Context& ctx, const tolbu_sdk::strategy::Bar& bar) override {
    if (ctx.warming_up()) return;
    if (ctx.now() != bar.time + std::chrono::seconds(ctx.options().resolution)) ++clock_errors;
    const auto& symbol = ctx.symbol(bar.symbol);
    std::string ref;
    switch (++bars % 4) {
      case 1:
        ref = ctx.buy(bar.symbol, 3, 0.0, "buy");
        break;
      case 2:
        ref = ctx.sell(bar.symbol, 2, 0.0, "sell");
        break;
      case 3:  // a sell limit a tick below the market: fills at once, at most there
        ref = ctx.sell(bar.symbol, 2, symbol.normalize_price(symbol.last_price - 0.1), "limit");
        break;
      default:
        ref = ctx.target(bar.symbol, 0, 0.0, "flat");
        break;
    }
    if (!ref.empty()) sent_at[ref] = ctx.now();
  }
  void on_order(kit::Context&, const kit::OrderEvent& event) override {
    if (event.kind != kit::OrderEvent::Kind::FILL) return;
    const auto it = sent_at.find(event.order.ref);
    const auto filled =
        tolbu_sdk::platform::from_epoch_ms(static_cast<double>(event.fill->time_ms));
    if (it != sent_at.end() && it->second != filled) ++late_fills;
    slippage += event.fill->slippage;
  }

  int bars = 0;
  int clock_errors = 0;
  int late_fills = 0;
  double slippage = 0.0;
  std::map<std::string, tolbu_sdk::platform::LocalDateTime> sent_at;
};

// The report against the back end's own books, with every cost switched on: its net P&L is the
// account's equity change to the cent, gross = net + commission + slippage, each trade is
// stamped with its fills' times. With too little capital the run stops at its ruin, and a
// report file that cannot be written leaves the other one written and the run failed.
TEST(KitRun, BacktestReportAgreesWithTheBackEndToTheCentAndStopsAtRuin) {
  struct Case {
    const char* name;
    double capital;
  };
  for (const Case c : {Case{"costs", 1e6}, Case{"ruin", 5.0}}) {
    SCOPED_TRACE(c.name);
    const bool ruin = c.capital < 100;
    tolbu_test::SimProcess sim({"--replay", "--seed", "5", "--jwt", "t", "--commission-pct", "0.05",
                                "--fee-per-contract", "0.3", "--slippage-ticks", "2"});
    const fs::path dir = fresh_dir(std::string("costs-") + c.name);
    auto options = run_options(sim, "churner", {"VN30F2412"}, dir, 120);
    options.capital = c.capital;
    // The kit's own estimate differs from the sim's schedule: every fee must be the one booked.
    options.costs = {.commission_pct = 0.2, .fee_per_contract = 0.0};
    if (ruin) fs::create_directories(dir / "report" / "report.json");  // cannot be replaced
    Churner churner;
    EXPECT_EQ(kit::run(churner, options), ruin ? 1 : 0);
    EXPECT_EQ(churner.clock_errors, 0);
    EXPECT_EQ(churner.late_fills, 0);

    if (ruin) {
      // The HTML is written although the JSON could not be; it names the ruin.
      const std::string html = [&] {
        std::ifstream in(dir / "report" / "report.html");
        return std::string(std::istreambuf_iterator<char>(in), {});
      }();
      EXPECT_NE(html.find("Ruined at bar"), std::string::npos);
      EXPECT_LT(churner.bars, 20);  // stopped long before the 120 bars
      fs::remove_all(dir);
      continue;
    }
    std::ifstream in(dir / "report" / "report.json");
    const auto report = boost::json::parse(std::string(std::istreambuf_iterator<char>(in), {}));
    const auto& m = report.at("metrics").as_object();
    const double net = m.at("net_pnl").to_number<double>();
    const double commission = m.at("commission").to_number<double>();
    const double slippage = m.at("slippage").to_number<double>();
    EXPECT_GT(commission, 0);
    EXPECT_GT(slippage, 0);  // two ticks a market fill, less the limit's improvement
    EXPECT_NEAR(slippage, churner.slippage, 1e-6);
    EXPECT_NEAR(m.at("gross_pnl").to_number<double>(), net + commission + slippage, 1e-6);
    EXPECT_TRUE(m.at("ruined_at_bar").is_null());
    // Bars a year from the bars: one a minute round the clock.
    EXPECT_NEAR(m.at("periods_per_year").to_number<double>(), 525'960, 1);

    const auto config =
        tolbu_sdk::TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(), sim.ws_url(), "t");
    tolbu_sdk::features::OrderService service(config);
    const auto accounts = service.get_accounts();
    ASSERT_TRUE(accounts && accounts->size() == 1);
    const double equity = accounts->front().at("totalEquity").to_number<double>();
    EXPECT_NEAR(net, equity - 10'000'000'000.0, 0.005);
    std::set<std::string> fill_times;
    for (const auto& order : service.get_orders(std::string("SIM0001"))) {
      if (order.filled_qty == 0) continue;
      fill_times.insert(tolbu_sdk::platform::iso_text(
          tolbu_sdk::platform::from_epoch_ms(static_cast<double>(order.updated_time))));
    }
    // Each trade's entry and exit are the times of fills.
    const auto& trades = report.at("trades").as_array();
    ASSERT_GT(trades.size(), 10u);
    double trade_commission = 0;
    for (const auto& t : trades) {
      EXPECT_TRUE(fill_times.contains(std::string(t.at("entry_time").as_string()))) << t;
      EXPECT_TRUE(fill_times.contains(std::string(t.at("exit_time").as_string()))) << t;
      trade_commission += t.at("commission").to_number<double>();
    }
    EXPECT_NEAR(trade_commission, commission, 1e-6);  // flat at the end: all in the trades
    fs::remove_all(dir);
  }
}

// Churns one lot each bar until the guard halts on the fees' drawdown; then every entry is
// refused while the guard's own close-out leaves the account flat.
class RiskTaker : public kit::Strategy {
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
  const fs::path dir = fresh_dir("risk");
  auto options = run_options(sim, "risk", {"VN30F2412"}, dir, 300);
  options.risk = kit::RiskLimits{.max_order_qty = 2, .max_drawdown_pct = 0.01};
  RiskTaker churner;
  EXPECT_EQ(kit::run(churner, options), 0);
  // The report lists every refusal: the oversized order first, then the entries while halted.
  std::ifstream in(options.report_dir + "/report.json");
  const auto report = boost::json::parse(std::string(std::istreambuf_iterator<char>(in), {}));
  const auto& refusals = report.at("refusals").as_array();
  ASSERT_EQ(refusals.size(), 9u);
  EXPECT_EQ(refusals.front().at("qty").to_number<int>(), 3);
  EXPECT_NE(std::string(refusals.back().at("reason").as_string()).find("no new risk: drawdown"),
            std::string::npos);

  EXPECT_NE(churner.oversized_refusal.find("over the limit of 2"), std::string::npos)
      << churner.oversized_refusal;
  ASSERT_GT(churner.halted_at, 0) << "the fees never crossed 0.01 % of drawdown";
  EXPECT_TRUE(churner.flat_after_halt);
  EXPECT_EQ(churner.refused_after_halt, 8);
  fs::remove_all(dir);
}

// Buys a quantity that is no whole lot on every live bar; stops itself after a few.
class OddLot : public kit::Strategy {
 public:
  void on_bar(kit::Context& ctx, const tolbu_sdk::strategy::Bar& bar) override {
    if (ctx.warming_up()) return;
    refs.push_back(ctx.buy(bar.symbol, 1, 0.0));
    refusal = ctx.refusal();
    if (++live_bars >= 3) ctx.stop("odd lot done");
  }
  int live_bars = 0;
  std::vector<std::string> refs;
  std::string refusal;
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
    const fs::path dir = fresh_dir(std::string("lot-") + c.name);
    auto options = run_options(sim, "oddlot", {"HPG"}, dir, c.backtest ? 100 : 0);
    OddLot strategy;
    EXPECT_EQ(kit::run(strategy, options), c.backtest ? 1 : 0);
    // The backtest stopped at its first refusal; live went on to stop itself.
    EXPECT_EQ(strategy.live_bars, c.backtest ? 1 : 3);
    for (const auto& ref : strategy.refs) EXPECT_EQ(ref, "");
    EXPECT_EQ(strategy.refusal, "Quantity 1 of HPG is not a multiple of its lot size 100");
    fs::remove_all(dir);
  }
}

}  // namespace

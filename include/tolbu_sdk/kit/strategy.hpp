#pragma once
// A strategy on the kit: a class with hooks, run by the kit live against the back end.
//
//   class MeanReversion : public kit::Strategy {
//     void on_bar(kit::Context& ctx, const strategy::Bar& bar) override {
//       if (ctx.warming_up()) return;
//       if (...) ctx.target(bar.symbol, 100);
//     }
//   };
//   int main(int argc, char** argv) {
//     MeanReversion strategy;
//     return kit::run_main(argc, argv, strategy, "mean_reversion");
//   }
//
// The kit owns the rest: options (`--help`), logging, Ctrl-C and POST /stop, the symbols'
// trading rules, history warm-up, closed-bar events per symbol, the stream with its
// execution reports, orders and their fills, reconciliation after a gap or a reconnect, the
// control API ("/status", "/progress", "/report", "/orders", "/trades", "/logs", POST "/stop",
// "/dashboard") on 127.0.0.1, the progress line, the cancelling of working orders and the
// flattening of positions on stop, the summary and the report.
//
// Threads: every hook runs on the kit's event loop, one at a time; a hook must not block (no
// blocking REST call, no sleep): orders go out through the context and their outcome comes
// back as on_order events. The control API reads the portfolio from its own thread.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tolbu_sdk/kit/orders.hpp"
#include "tolbu_sdk/kit/portfolio.hpp"
#include "tolbu_sdk/kit/risk.hpp"
#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/strategy/bar.hpp"
#include "tolbu_sdk/strategy/symbol.hpp"
#include "tolbu_sdk/utils/journal.hpp"

namespace tolbu_sdk::kit {

// How a run is set up; parse_run_options reads it from the command line and environment.
struct TOLBU_API RunOptions {
  std::string name = "strategy";            // the strategy logger's name, the report's title
  // The instruments traded.
  std::vector<std::string> symbols{};
  int resolution = 60;                      // seconds per bar
  std::string backend = "http://127.0.0.1:8080";  // REST and micro API base
  std::string ws{};                         // empty: the backend's /connection/websocket
  std::string token{};                      // from TOLBU_JWT or --token-file, never argv
  // The account orders go to.
  std::string account_id = "SIM0001";
  // Closed bars loaded per symbol before the run, to warm up.
  std::size_t history_bars = 200;
  double duration_seconds = 0.0;            // 0: until stopped
  // The interface the control API listens on.
  std::string control_host = "127.0.0.1";
  int control_port = 8000;                  // 0 picks a free port; -1 runs without it
  std::string control_token{};              // TOLBU_CONTROL_TOKEN: a bearer token it requires
  // Level name of the least severe log lines kept.
  std::string log_level = "INFO";
  // Directory of the log files.
  std::string log_dir = "logs";
  std::string report_dir{};                 // report.json and report.html there when set
  std::string title{};                      // the report's heading; empty: name and symbols
  double linger_seconds = 0.0;              // the control API outlives a backtest this long
  // Whether stopping cancels working orders and closes every position.
  bool flatten_on_stop = true;
  // A backtest: the back end is a tolbu-sim started with --replay, stepped bar by bar over
  // [from_ms, to_ms) for every symbol at once.
  bool backtest = false;
  // First bar time of a backtest, epoch ms.
  std::int64_t from_ms = 0;
  // End of a backtest (exclusive), epoch ms.
  std::int64_t to_ms = 0;
  // The back end is tolbu-sim linked into this program, on the run's loop, with these of its
  // options (--seed, --commission-pct, ...): no socket, no second process.
  bool inproc = false;
  std::vector<std::string> sim_args{};  // --sim-arg: options of the in-process sim
  double capital = 100000.0;                // starting equity of the report
  bool capital_given = false;               // --capital given: a backtest's account cash too
  // The fee model of the strategy's accounting.
  CostModel costs{};
  // The pre-trade risk guard: off unless set (--risk, or any --max-... option).
  std::optional<RiskLimits> risk{};
  std::map<std::string, std::string> params{};  // --set KEY=VALUE, for the strategy
};

// YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS] (local time) or epoch milliseconds.
TOLBU_API std::optional<std::int64_t> parse_time_ms(std::string_view text);
// The streaming address of a back end: http://host:port -> ws://host:port/connection/websocket
// (https -> wss, inproc://NAME -> inproc://NAME/connection/websocket).
TOLBU_API std::string streaming_url(const std::string& backend);

// Reads the options; nothing when the run should not start (--help printed, or an error
// printed to stderr: exit_code says which).
TOLBU_API std::optional<RunOptions> parse_run_options(int argc, char** argv, RunOptions defaults,
                                                      int& exit_code);

class Runner;

// What a hook may use.
class TOLBU_API Context {
 public:
  // Made by the kit for its run; a strategy only receives it.
  explicit Context(Runner& runner) : runner_(runner) {}

  // The run's options as parsed: symbols, resolution, mode and --set parameters.
  const RunOptions& options() const;
  // A parameter of --set, or the fallback.
  std::string param(const std::string& key, const std::string& fallback) const;
  // A parameter of --set read as a number, or the fallback; ValueError when it is not one.
  double param(const std::string& key, double fallback) const;

  // A traded symbol: its rules (tick, lot), bars, last price, and bid and ask from the depth.
  strategy::Symbol& symbol(const std::string& name);
  // Positions and P&L net of fees, from every fill.
  Portfolio& portfolio();
  // The kit's orders: look-ups, open orders, cancel.
  OrderManager& orders();
  // The strategy's logger, named after the run.
  utils::StrategyLogger& log();
  // True while history is being replayed into on_bar: orders are refused then.
  bool warming_up() const;
  // The latest closed bar's time.
  platform::LocalDateTime now() const;

  // The run's risk guard, or null without one: its limits, whether it has halted, refusals.
  const RiskGuard* risk() const;
  // Why the latest buy, sell or target was refused; "" after one that went out.
  const std::string& refusal() const;

  // Orders by intent; each returns the reference id ("" when refused: the reason is logged
  // and kept in refusal()). price 0 is a market order.
  std::string buy(const std::string& symbol, std::int64_t qty, double price = 0.0,
                  std::string tag = "");
  // @copydoc buy
  std::string sell(const std::string& symbol, std::int64_t qty, double price = 0.0,
                   std::string tag = "");
  // Towards a signed position, counting the orders still working.
  std::string target(const std::string& symbol, std::int64_t position, double price = 0.0,
                     std::string tag = "");
  // Ends the run after this hook.
  void stop(const std::string& reason);

 private:
  Runner& runner_;
};

// The base of a strategy on the kit: override on_bar, and the other hooks as needed.
class TOLBU_API Strategy {
 public:
  virtual ~Strategy() = default;
  // Once, before the history: set up per-symbol state here.
  virtual void on_start(Context&) {}
  // Each closed bar of each symbol, history first (ctx.warming_up()), then live.
  virtual void on_bar(Context& ctx, const strategy::Bar& bar) = 0;
  // Each price between bars (live trades of a symbol, or its forming bar), for stops that
  // must not wait for the close; ctx.symbol(symbol) has bid and ask from the depth.
  virtual void on_price(Context&, const std::string& /*symbol*/, double /*price*/) {}
  // Every order event: accepted, a fill (already in the portfolio), done.
  virtual void on_order(Context&, const OrderEvent&) {}
  // A channel lost publications for good; the kit has reconciled orders from REST already.
  virtual void on_gap(Context&, const std::string& /*channel*/) {}
  // Once, when the run ends, before positions are flattened.
  virtual void on_stop(Context&) {}
};

// Runs the strategy live until the duration ends, POST /stop, a signal or ctx.stop(), or
// over a replay with --backtest; returns the process's exit code.
TOLBU_API int run(Strategy& strategy, const RunOptions& options);
// parse_run_options with the name, then run.
TOLBU_API int run_main(int argc, char** argv, Strategy& strategy, std::string name);
// The same from the strategy's own defaults, which the command line then changes.
TOLBU_API int run_main(int argc, char** argv, Strategy& strategy, RunOptions defaults);

}  // namespace tolbu_sdk::kit

// sma_crossover: a complete strategy on the Tolbu SDK, from configuration to final report.
//
// The run, in order:
//   1. configuration and logging (log files in ./logs, console left to the live line);
//   2. reference data over REST: the product master (tick and lot sizes) and margin rate;
//   3. candle history over REST, which warms the bar history and the indicators up;
//   4. the control API on its own thread ("/status", "/report", "/orders", POST "/stop", ...);
//   5. the real-time stream: candles, statistics, depth and this account's execution reports,
//      each delivered on the event loop to the strategy (strategy.cpp);
//   6. the run lasts --duration seconds, or until POST /stop or Ctrl-C; then the strategy
//      closes its position, the stream and the control API end and the report is printed.
//
//   sma_crossover --backend http://127.0.0.1:8080 --jwt TOKEN --symbol VN30F2412 --duration 60

#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>

#include "backtest.hpp"
#include "control_app.hpp"
#include "display.hpp"
#include "ledger.hpp"
#include "options.hpp"
#include "strategy.hpp"
#include "tolbu_sdk/config.hpp"
#include "tolbu_sdk/control.hpp"
#include "tolbu_sdk/features/orders.hpp"
#include "tolbu_sdk/features/prices.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/logging.hpp"
#include "tolbu_sdk/utils/journal.hpp"

namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace sma_crossover {
namespace {

// A burst or a recovery after a reconnect queues thousands of publications at once; once they
// are handled the heap keeps their pages. Handing them back keeps a run of weeks at the size
// of what it holds, not of its worst minute.
constexpr auto kTrimEvery = std::chrono::seconds(10);
void give_back_free_memory() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

using tolbu_sdk::platform::now_epoch_ms;

// How long the shutdown waits for the closing order's fill.
constexpr auto kFlattenTimeout = 5s;

asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d) {
  asio::steady_timer timer(co_await asio::this_coro::executor, d);
  co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
}

// Ends the run once, from the deadline, POST /stop or a signal; all run on the event loop.
class StopSwitch {
 public:
  explicit StopSwitch(asio::io_context& loop) : timer_(loop) {}
  void request() {
    requested_ = true;
    timer_.cancel();
  }
  bool requested() const { return requested_; }
  // Returns at `when`, or as soon as request() is called.
  asio::awaitable<void> wait_until(std::chrono::steady_clock::time_point when) {
    if (requested_) co_return;
    timer_.expires_at(when);
    co_await timer_.async_wait(asio::as_tuple(asio::use_awaitable));
  }

 private:
  asio::steady_timer timer_;
  bool requested_ = false;
};

asio::awaitable<int> run(const Options& options, asio::io_context& loop, RecentLogs& logs) {
  const Params& params = options.strategy;
  tolbu_sdk::utils::StrategyLogger log("sma_crossover");

  // Ctrl-C (or a SIGTERM) ends the run like POST /stop does, also during the start-up.
  StopSwitch stop(loop);
  asio::signal_set signals(loop, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int number) {
    if (ec) return;
    log.warning("Signal {} received; stopping", number);
    stop.request();
  });

  // 1. The configuration: every endpoint of the back end and the account's token.
  auto config = tolbu_sdk::TolbuConfig::from_endpoints(options.backend, options.backend, options.ws,
                                                       options.jwt);
  tolbu_sdk::features::MarketDataService prices(config);
  tolbu_sdk::features::OrderService orders(config);
  Ledger ledger(params.account_id);
  SmaCrossover strategy(params, orders, ledger);
  log.info("Starting {} on {} ({} s candles, SMA {}/{}), back end {}", log.strategy_name,
           params.symbol, params.resolution, params.fast_period, params.slow_period,
           options.backend);

  // 2. Reference data: trading rules for price and quantity normalisation, margin rate.
  auto& symbol = strategy.symbol();
  if (auto master = prices.get_product_master(params.symbol)) {
    symbol.update_from_master(*master);
    log.info("Product {}: tick {}, lot {}, currency {}", master->name, symbol.tick_size,
             symbol.lot_size, symbol.currency);
  } else {
    log.warning("No product master for {}; using tick {} and lot {}", params.symbol,
                symbol.tick_size, symbol.lot_size);
  }
  symbol.margin_rate = prices.get_margin_rate(params.symbol);
  log.info("Margin rate {}", symbol.margin_rate);

  // 3. History. The back end sends nothing after its own clock, so the range may reach ahead.
  const std::int64_t length_ms = std::int64_t{params.resolution} * 1000;
  const std::int64_t to = now_epoch_ms() + 86'400'000;
  strategy.load_history(prices.fetch_candles(params.symbol, params.resolution,
                                             now_epoch_ms() - kHistoryBars * length_ms, to, false,
                                             kHistoryBars));

  // 4. The control API. Its handlers run on the server's thread and read the ledger; only
  //    POST /stop comes back to this loop.
  ControlApp app(ledger, logs, std::chrono::seconds(options.duration), [&stop] { stop.request(); });
  app._loop.attach(&loop);
  // This coroutine runs inside loop.run(): the control API may hand POST /stop to the loop.
  tolbu_sdk::Application::EventLoop::Scope loop_running(app._loop);
  tolbu_sdk::APIServer server(app, options.control_port, {.host = options.control_host});
  if (!start_control_api(server, options.control_host, options.control_port)) co_return 1;

  // 5. The stream. Its callbacks run on this loop, one publication at a time.
  tolbu_sdk::features::TolbuStream stream(config);
  stream.on_gap([&](const std::string& channel) { strategy.reconcile(channel); });
  co_await stream.connect(
      [&log] { log.info("Stream connected"); }, [&log] { log.warning("Stream disconnected"); },
      [&log](const std::exception& e) { log.error("Stream error: {}", e.what()); });
  co_await stream.subscribe_candles(
      params.symbol, params.resolution,
      [&](const tolbu_sdk::types::Candle& c) { strategy.on_candle(c); });
  co_await stream.subscribe_product_stat(
      params.symbol, [&](const tolbu_sdk::types::ProductStat& s) { strategy.on_stat(s); });
  co_await stream.subscribe_depth(params.symbol,
                                  [&](const tolbu_sdk::types::Depth& d) { strategy.on_depth(d); });
  co_await stream.subscribe_order_execution_report(
      params.account_id, [&](const boost::json::value& r) { strategy.on_execution_report(r); });

  // 6. Run until the deadline, POST /stop or a signal.
  ProgressDisplay display(::isatty(STDOUT_FILENO) == 1);
  const auto every = display.terminal() ? 250ms : 5000ms;
  const auto started = std::chrono::steady_clock::now();
  const auto end = options.duration > 0 ? started + std::chrono::seconds(options.duration)
                                        : std::chrono::steady_clock::time_point::max();
  auto next_trim = started + kTrimEvery;
  while (!stop.requested() && std::chrono::steady_clock::now() < end) {
    display.show(progress_line(params.symbol, ledger.snapshot(), app.get_progress()));
    co_await stop.wait_until(std::min(end, std::chrono::steady_clock::now() + every));
    if (std::chrono::steady_clock::now() >= next_trim) {
      give_back_free_memory();
      next_trim += kTrimEvery;
    }
  }
  app._status = "STOPPING";
  log.info("Run ends ({})", stop.requested() ? "stop requested" : "duration reached");

  // Leave the market flat: close the position and wait for the fill to come back.
  strategy.flatten("end of run");
  const auto deadline = std::chrono::steady_clock::now() + kFlattenTimeout;
  while ((strategy.position() || strategy.has_pending_orders()) &&
         std::chrono::steady_clock::now() < deadline)
    co_await sleep_for(50ms);
  if (strategy.position())
    log.risk("Position still open at exit: its closing order has not been confirmed");

  signals.cancel();
  try {
    co_await stream.disconnect();
  } catch (const std::exception&) {
    log.warning(std::current_exception(), "Stream disconnect failed");
  }
  app._status = "STOPPED";
  server.shutdown();
  display.show(progress_line(params.symbol, ledger.snapshot(), app.get_progress()));
  display.finish();
  std::fputs(final_report(params.symbol, ledger).c_str(), stdout);
  std::fflush(stdout);
  log.info("Finished: {} trades", ledger.summary().trades);
  co_return 0;
}

}  // namespace
}  // namespace sma_crossover

int main(int argc, char** argv) {
  using namespace sma_crossover;
  int exit_code = 0;
  auto options = parse_options(argc, argv, std::cout, std::cerr, exit_code);
  if (!options) return exit_code;

  // Log files only: the console belongs to the live progress line. "/logs" reads the newest
  // lines from memory.
  auto logs = std::make_shared<RecentLogs>();
  try {
    tolbu_sdk::utils::setup_logging({.level = options->log_level, .console = false});
  } catch (const std::exception& e) {
    std::cerr << "sma_crossover: logging set-up failed: " << e.what() << "\n";
    return 2;
  }
  logs->set_level(tolbu_sdk::logging::INFO);
  logs->set_formatter(std::make_shared<tolbu_sdk::utils::DetailedFormatter>());
  tolbu_sdk::logging::root_logger().add_handler(logs);

  asio::io_context loop;
  auto body = options->backtest ? run_backtest(*options, loop, *logs) : run(*options, loop, *logs);
  asio::co_spawn(loop, std::move(body), [&](std::exception_ptr error, int code) {
    exit_code = code;
    if (!error) return;
    exit_code = 1;
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      tolbu_sdk::logging::get_logger("tolbu_sdk.strategy.sma_crossover")
          .exception(error, "Run failed");
      std::cerr << "\nsma_crossover: " << e.what() << "\n";
    }
    loop.stop();
  });
  loop.run();
  return exit_code;
}

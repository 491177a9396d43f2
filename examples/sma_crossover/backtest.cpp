#include "backtest.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "display.hpp"
#include "ledger.hpp"
#include "strategy.hpp"
#include "tolbu_sdk/backtest/report.hpp"
#include "tolbu_sdk/backtest/runtime.hpp"
#include "tolbu_sdk/config.hpp"
#include "tolbu_sdk/control.hpp"
#include "tolbu_sdk/features/orders.hpp"
#include "tolbu_sdk/features/prices.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/platform/centrifuge.hpp"
#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/number_text.hpp"
#include "tolbu_sdk/utils/journal.hpp"

namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace sma_crossover {
namespace {

namespace bt = tolbu_sdk::backtest;
using tolbu_sdk::platform::from_epoch_ms;
using tolbu_sdk::platform::iso_text;

// A trading year: 250 sessions of 6.5 hours; the Sharpe and Sortino ratios are annualised
// with this many bars.
constexpr double kTradingSecondsPerYear = 250 * 6.5 * 3600;

// "[##########..........]  51.3%  50,000/97,500 bars  6,120 bars/s  8 s left"
std::string progress_bar(const bt::ReplayProgress& p) {
  constexpr int kWidth = 30;
  const int filled = static_cast<int>(p.percent() / 100.0 * kWidth);
  return fmt::format("[{}{}] {:5.1f}%  {}/{} bars  {:.0f} bars/s  {:.0f} s left",
                     std::string(static_cast<std::size_t>(filled), '#'),
                     std::string(static_cast<std::size_t>(kWidth - filled), '.'), p.percent(),
                     p.done, p.total, p.bars_per_second(), p.seconds_left());
}

std::string summary_text(const bt::Metrics& m, const bt::ReplayProgress& p) {
  std::string out = "== Backtest summary\n";
  out += fmt::format("Bars:          {} in {:.2f} s ({:.0f} bars/s)\n", p.done, p.seconds,
                     p.bars_per_second());
  out += fmt::format("Trades:        {} ({} won, {} lost), win rate {:.1f}%\n", m.trades, m.wins,
                     m.losses, m.win_rate);
  out +=
      fmt::format("P&L:           {:+.2f} (average trade {:+.2f})\n", m.total_pnl, m.average_trade);
  out += fmt::format("Equity:        {:.2f} -> {:.2f} ({:+.2f}%)\n", m.initial_equity,
                     m.final_equity, m.return_percent);
  out += fmt::format("Max drawdown:  {:.2f} ({:.2f}%), {} bars\n", m.max_drawdown,
                     m.max_drawdown_percent, m.max_drawdown_duration_bars);
  out += fmt::format("Sharpe:        {:.3f}   Sortino: {:.3f}   Exposure: {:.1f}%\n",
                     m.sharpe_ratio, m.sortino_ratio, m.exposure);
  return out;
}

}  // namespace

asio::awaitable<int> run_backtest(const Options& options, asio::io_context& loop,
                                  RecentLogs& logs) {
  const Params& params = options.strategy;
  tolbu_sdk::utils::StrategyLogger log("sma_crossover");

  auto config = tolbu_sdk::TolbuConfig::from_endpoints(options.backend, options.backend, options.ws,
                                                       options.jwt);
  tolbu_sdk::features::MarketDataService prices(config);
  tolbu_sdk::features::OrderService orders(config);
  tolbu_sdk::features::TolbuStream stream(config);
  Ledger ledger(params.account_id);
  SmaCrossover strategy(params, orders, ledger);
  bt::BacktestRuntime runtime(config, stream,
                              {.symbol = params.symbol,
                               .resolution = params.resolution,
                               .from_ms = options.from_ms,
                               .to_ms = options.to_ms});

  asio::signal_set signals(loop, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int number) {
    if (ec) return;
    log.warning("Signal {} received; stopping the backtest", number);
    runtime.request_stop();
  });

  // The replay starts first: the sim's clock then stands at the first bar, and the history
  // below ends there.
  const std::size_t bars = co_await runtime.start();
  log.info("Backtest of {} on {} ({} s bars, SMA {}/{}): {} bars from {}", log.strategy_name,
           params.symbol, params.resolution, params.fast_period, params.slow_period, bars,
           iso_text(from_epoch_ms(static_cast<double>(options.from_ms))));

  auto& symbol = strategy.symbol();
  if (auto master = prices.get_product_master(params.symbol)) symbol.update_from_master(*master);
  symbol.margin_rate = prices.get_margin_rate(params.symbol);
  const std::int64_t length_ms = std::int64_t{params.resolution} * 1000;
  strategy.load_history(prices.fetch_candles(params.symbol, params.resolution,
                                             options.from_ms - kHistoryBars * length_ms,
                                             options.from_ms, false, kHistoryBars));

  ControlApp app(ledger, logs, std::chrono::seconds(0), [&runtime] { runtime.request_stop(); });
  app.set_progress_source([&runtime] { return runtime.progress().percent(); });
  app._loop.attach(&loop);
  tolbu_sdk::Application::EventLoop::Scope loop_running(app._loop);
  tolbu_sdk::APIServer server(app, options.control_port, {.host = options.control_host});
  if (!start_control_api(server, options.control_host, options.control_port)) co_return 1;

  // Subscriptions are confirmed before the first bar, so that none of it is missed.
  co_await stream.connect(nullptr, nullptr, [&log](const std::exception& e) {
    log.error("Stream error: {}", e.what());
  });
  co_await stream.client()->ready(10s);
  co_await stream.subscribe_candles(
      params.symbol, params.resolution,
      [&](const tolbu_sdk::types::Candle& c) { strategy.on_candle(c); });
  co_await stream.subscribe_order_execution_report(
      params.account_id, [&](const boost::json::value& r) { strategy.on_execution_report(r); });

  bt::BacktestResult result;
  result.title = options.title.empty()
                     ? fmt::format("SMA {}/{} on {}, {} s bars", params.fast_period,
                                   params.slow_period, params.symbol, params.resolution)
                     : options.title;
  result.periods_per_year = kTradingSecondsPerYear / params.resolution;
  result.prices.reserve(bars);
  result.equity_curve.reserve(bars);

  ProgressDisplay display(::isatty(STDOUT_FILENO) == 1);
  const auto every = display.terminal() ? 100ms : 5000ms;
  auto shown = std::chrono::steady_clock::now();
  co_await runtime.run([&](const bt::ReplayBar& bar) {
    const auto time = from_epoch_ms(static_cast<double>(bar.time_ms));
    result.prices.push_back({time, bar.close});
    result.equity_curve.push_back(
        {time, options.capital + ledger.total_pnl(), ledger.in_position()});
    if ((bar.index & 63) == 0) {
      const auto now = std::chrono::steady_clock::now();
      if (now - shown >= every) {
        shown = now;
        display.show(progress_bar(runtime.progress()));
      }
    }
  });
  const auto progress = runtime.progress();
  display.show(progress_bar(progress));
  display.finish();

  // A position still open is closed at the last instant's price, so that every result is a
  // finished trade.
  strategy.flatten("end of backtest");
  if (!result.equity_curve.empty())
    result.equity_curve.back().equity = options.capital + ledger.total_pnl();
  result.trades = ledger.closed_positions();
  signals.cancel();
  try {
    co_await stream.disconnect();
  } catch (const std::exception&) {
    log.warning(std::current_exception(), "Stream disconnect failed");
  }

  const auto metrics =
      bt::Metrics::compute(result.trades, result.equity_curve, result.periods_per_year);
  const std::filesystem::path dir = options.report_dir;
  std::filesystem::create_directories(dir);
  bt::write_json_report(dir / "report.json", result);
  bt::write_html_report(dir / "report.html", result);
  app.set_report(bt::report_json(result));
  app._status = "FINISHED";
  std::fputs(summary_text(metrics, progress).c_str(), stdout);
  std::printf("Reports:       %s, %s\n", (dir / "report.json").c_str(),
              (dir / "report.html").c_str());
  std::fflush(stdout);
  log.info("Backtest finished: {} bars, {} trades, P&L {}", progress.done, metrics.trades,
           tolbu_sdk::platform::number_text(metrics.total_pnl));

  // The control API keeps serving the finished report ("/report", "/dashboard") for a while.
  if (options.linger > 0) {
    std::printf("control API stays up %d s (POST /stop ends it)\n", options.linger);
    std::fflush(stdout);
    asio::steady_timer wait(loop);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(options.linger);
    while (std::chrono::steady_clock::now() < until && !(app._status == "STOPPING")) {
      wait.expires_after(100ms);
      co_await wait.async_wait(asio::as_tuple(asio::use_awaitable));
    }
  }
  app._status = "STOPPED";
  server.shutdown();
  co_return 0;
}

}  // namespace sma_crossover

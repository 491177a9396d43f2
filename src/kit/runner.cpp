#include "runner.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>
#include <fmt/format.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "control_app.hpp"
#include "progress_line.hpp"
#include "tolbu_sdk/backtest/runtime.hpp"
#include "tolbu_sdk/control.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/centrifuge.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace tolbu_sdk::kit {

namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace {

// How long the end of a run waits for its closing orders' fills.
constexpr auto kFlattenTimeout = 10s;

// A burst or a recovery after a reconnect queues thousands of publications at once; once they
// are handled the heap keeps their pages. Handing them back every few seconds keeps a run of
// weeks at the size of what it holds, not of its worst minute.
constexpr auto kTrimEvery = 10s;
void give_back_free_memory() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d) {
  asio::steady_timer timer(co_await asio::this_coro::executor, d);
  co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
}

// With --inproc: tolbu-sim on the run's loop, and the options pointed at it.
std::unique_ptr<sim::Engine> start_inproc_sim(RunOptions& options, asio::io_context& loop) {
  if (!options.inproc) return nullptr;
  std::vector<std::string> args;
  if (options.backtest) args.emplace_back("--replay");
  args.emplace_back("--quiet");
  args.insert(args.end(), options.sim_args.begin(), options.sim_args.end());
  // Last: the run's token is the one the sim must take.
  args.insert(args.end(), {"--jwt", options.token});
  auto engine = std::make_unique<sim::Engine>(loop, args);
  options.backend = engine->base_url();
  options.ws = engine->ws_url();
  return engine;
}

}  // namespace

Runner::Runner(Strategy& strategy, const RunOptions& options, asio::io_context& loop,
               const RecentLogs& logs)
    : strategy_(strategy),
      options_(options),
      loop_(loop),
      logs_(logs),
      sim_(start_inproc_sim(options_, loop)),
      config_(TolbuConfig::from_endpoints(options_.backend, options_.backend, options_.ws,
                                          options_.token)),
      prices_(config_),
      service_(config_),
      orders_(loop.get_executor(), service_, options_.account_id, portfolio_, options_.costs),
      log_(options_.name),
      context_(*this),
      stop_timer_(loop) {
  for (const auto& name : options_.symbols) symbols_[name].name = name;
  if (options_.risk) guard_.emplace(*options_.risk);
}

strategy::Symbol& Runner::symbol(const std::string& name) {
  auto it = symbols_.find(name);
  if (it == symbols_.end()) throw ValueError("Symbol " + name + " is not traded by this run");
  return it->second;
}

std::string Runner::refuse(const std::string& symbol_name, Side side, std::int64_t qty) {
  std::string why;
  if (warming_up_) {
    why = "the history is still warming up";
  } else if (stop_requested_) {
    why = "the run is stopping";
  } else if (cutting_risk_) {
    why = "positions are being closed after a loss limit";
  } else if (guard_) {
    int open = 0;
    for (const auto& name : options_.symbols) open += orders_.expected_position(name) != 0;
    why = guard_->check(symbol_name, side, qty, orders_.expected_position(symbol_name), open);
    if (!why.empty()) why = "risk: " + why;  // the guard has logged it
  }
  if (!why.empty() && !why.starts_with("risk: ")) {
    log_.warning("{} {} {} refused: {}", to_string(side), qty, symbol_name, why);
  }
  return why;
}

std::string Runner::submit(const std::string& symbol_name, OrderIntent intent) {
  refusal_ = refuse(symbol_name, intent.side, intent.qty);
  if (!refusal_.empty()) return "";
  try {
    intent.symbol = symbol_name;
    return orders_.submit(symbol(symbol_name), std::move(intent));
  } catch (const ValueError& e) {
    refusal_ = e.what();
    refuse_order(fmt::format("Order on {} refused: {}", symbol_name, e.what()));
    return "";
  } catch (const std::exception& e) {
    log_.error("Order on {} refused: {}", symbol_name, e.what());
    refusal_ = e.what();
    return "";
  }
}

std::string Runner::target(const std::string& symbol_name, std::int64_t position, double price,
                           std::string tag) {
  try {
    const std::int64_t change = position - orders_.expected_position(symbol(symbol_name).name);
    refusal_ = change == 0 ? "" : refuse(symbol_name, change > 0 ? Side::BUY : Side::SELL,
                                         change > 0 ? change : -change);
    if (!refusal_.empty()) return "";
    return orders_.target_position(symbol(symbol_name), position, price, std::move(tag));
  } catch (const ValueError& e) {
    refusal_ = e.what();
    refuse_order(fmt::format("Target {} on {} refused: {}", position, symbol_name, e.what()));
    return "";
  } catch (const std::exception& e) {
    log_.error("Target {} on {} refused: {}", position, symbol_name, e.what());
    refusal_ = e.what();
    return "";
  }
}

void Runner::refuse_order(const std::string& text) {
  log_.error("{}", text);
  if (!options_.backtest || !failure_.empty()) return;
  failure_ = text;
  request_stop("the backtest failed");
}

void Runner::request_stop(const std::string& reason) {
  if (stop_requested_) return;
  log_.info("Stop requested: {}", reason);
  stop_requested_ = true;
  stop_timer_.cancel();
  if (stop_replay_) stop_replay_();
}

double Runner::progress() const {
  if (progress_source_) return progress_source_();
  if (options_.duration_seconds <= 0) return 0.0;
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started_;
  return std::min(100.0, 100.0 * elapsed.count() / options_.duration_seconds);
}

// A candle of a symbol: a new one closes the bar before it.
void Runner::on_candle(const std::string& name, const types::Candle& candle) {
  auto& sym = symbol(name);
  const auto bar = strategy::Bar::from_candle(candle, name);
  const std::optional<strategy::Bar> current = sym.bars.current();  // a copy: add() moves on
  if (!current || bar.time > current->time) {
    sym.bars.add(bar);
    if (current) close_bar(*current);
  } else if (bar.time == current->time) {
    sym.bars.update(bar);
  } else {
    return;  // a late update of a bar already closed
  }
  sym.last_price = bar.close;
  portfolio_.mark(name, bar.close);
  if (!warming_up_) price_update(name, bar.close);
}

void Runner::queue_replay_candle(const std::string& name, const types::Candle& candle) {
  replay_queue_.emplace_back(name, candle);
  if (draining_) return;
  draining_ = true;
  asio::co_spawn(loop_, drain_replay(), asio::detached);
}

asio::awaitable<void> Runner::drain_replay() {
  while (!replay_queue_.empty()) {
    co_await orders_.settle();
    auto [name, candle] = std::move(replay_queue_.front());
    replay_queue_.pop_front();
    on_candle(name, candle);
  }
  draining_ = false;
  wake_replay();
}

void Runner::wake_replay() {
  if (replay_waiter_) replay_waiter_->cancel();
}

asio::awaitable<void> Runner::replay_settled() {
  asio::steady_timer timer(loop_);
  // Woken when the candles are drained or a close-out ends; the period is a backstop.
  replay_waiter_ = &timer;
  struct Leave {
    asio::steady_timer*& waiter;
    ~Leave() { waiter = nullptr; }
  } leave{replay_waiter_};
  for (;;) {
    co_await orders_.settle();
    if (!draining_ && !cutting_risk_ && replay_queue_.empty()) co_return;
    timer.expires_after(std::chrono::milliseconds(1));
    co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
  }
}

void Runner::price_update(const std::string& name, double price) {
  if (price <= 0 || stop_requested_) return;
  try {
    strategy_.on_price(context_, name, price);
  } catch (const std::exception& e) {
    log_.error("on_price of {} failed: {}", name, e.what());
  }
}

void Runner::close_bar(const strategy::Bar& bar) {
  // A bar is closed at its end: that is where the back end's clock stands while the strategy
  // handles it, and where an order sent now fills. Stamping its start instead put every
  // decision, and the curves against the fills, one bar early.
  const platform::LocalDateTime closed_at = bar.time + std::chrono::seconds(options_.resolution);
  if (closed_at > now_) now_ = closed_at;
  // An order whose outcome is still unknown blocks every new one: look again each bar.
  if (!warming_up_ && orders_.uncertain()) spawn_reconcile("An order's outcome is unknown");
  portfolio_.mark(bar.symbol, bar.close);
  bool ruined = false;
  if (!warming_up_ && !ruined_at_bar_) {
    const double equity = options_.capital + portfolio_.net_pnl();
    if (guard_ && guard_->update(closed_at, equity) && !cutting_risk_ && !stop_requested_) {
      cutting_risk_ = true;
      asio::co_spawn(
          loop_,
          [this]() -> asio::awaitable<void> {
            co_await close_out(std::chrono::steady_clock::now() + kFlattenTimeout);
            cutting_risk_ = false;
            wake_replay();
          },
          asio::detached);
    }
    std::lock_guard lock(report_mutex_);
    bool open = false;
    for (const auto& h : portfolio_.holdings()) open = open || h.qty != 0;
    if (!equity_.empty() && equity_.back().time == closed_at) {
      equity_.back() = {closed_at, equity, open};
    } else if (equity_.empty() || equity_.back().time < closed_at) {
      equity_.push_back({closed_at, equity, open});
    }
    if (bar.symbol == options_.symbols.front()) prices_of_first_.push_back({closed_at, bar.close});
    // Nothing is left to trade with: a backtest stops here rather than run on below zero.
    if (options_.backtest && equity <= 0 && !equity_.empty()) {
      ruined_at_bar_ = equity_.size() - 1;
      ruined = true;
    }
  }
  if (ruined) {
    log_.error("Ruined at bar {}: equity {:.2f}", *ruined_at_bar_, equity_.back().equity);
    request_stop(fmt::format("ruined at bar {}", *ruined_at_bar_));
  }
  try {
    strategy_.on_bar(context_, bar);
  } catch (const std::exception& e) {
    log_.error("on_bar of {} failed: {}", bar.symbol, e.what());
  }
}

void Runner::on_event(const OrderEvent& event) {
  const auto& o = event.order;
  if (event.kind == OrderEvent::Kind::FILL && event.fill) {
    const auto& f = *event.fill;
    log_.trade(f.symbol, f.side == Side::BUY ? "buy" : "sell", f.qty, f.price);
  } else if (event.kind == OrderEvent::Kind::DONE && o.status != OrderStatus::FILLED) {
    log_.warning("Order {} ended {}{}{}", o.ref, to_string(o.status), o.message.empty() ? "" : ": ",
                 o.message);
  }
  try {
    strategy_.on_order(context_, event);
  } catch (const std::exception& e) {
    log_.error("on_order failed: {}", e.what());
  }
}

void Runner::spawn_reconcile(const std::string& why) {
  log_.warning("{}: reconciling orders from REST", why);
  // One look-up at a time; a reason arriving during one asks for another after it, since
  // the one under way may have read the back end before what this reason is about.
  if (reconciling_) {
    reconcile_again_ = true;
    return;
  }
  reconciling_ = true;
  asio::co_spawn(
      loop_,
      [this]() -> asio::awaitable<void> {
        do {
          reconcile_again_ = false;
          if (!co_await orders_.reconcile()) {
            log_.error("Reconciliation from REST failed; no new order until an order's "
                       "outcome is known");
          } else {
            log_.info("Reconciled from REST: {} orders open, positions {}",
                      orders_.open_orders().size(), positions_text());
          }
        } while (reconcile_again_);
        reconciling_ = false;
      },
      asio::detached);
}

// "14:03:00 HPG 26500 VN30F2412 1301.2 | HPG 100 | P&L +1.10 | 3 trades | 45%"
std::string Runner::live_progress_text() const {
  std::string prices;
  for (const auto& [name, sym] : symbols_) {
    prices += fmt::format(" {} {}", name, sym.last_price > 0 ? fmt::format("{}", sym.last_price)
                                                             : std::string("-"));
  }
  const std::size_t trades = portfolio_.trades().size();
  const std::string time = platform::iso_text(now_);
  return fmt::format("{}{} | {} | P&L {:+.2f} | {} trade{} | {:.0f}%",
                     time.size() >= 19 ? time.substr(11, 8) : "--:--:--", prices, positions_text(),
                     portfolio_.net_pnl(), trades, trades == 1 ? "" : "s", progress());
}

std::string Runner::positions_text() const {
  std::string text;
  for (const auto& h : portfolio_.holdings()) {
    text += fmt::format("{}{} {}", text.empty() ? "" : ", ", h.symbol, h.qty);
  }
  return text.empty() ? "flat" : text;
}

backtest::BacktestResult Runner::result() const {
  backtest::BacktestResult out;
  out.title = options_.title.empty()
                  ? fmt::format("{} {}", options_.name, fmt::join(options_.symbols, ","))
                  : options_.title;
  {
    std::lock_guard lock(report_mutex_);
    out.equity_curve = equity_;
    out.prices = prices_of_first_;
    out.ruined_at_bar = ruined_at_bar_;
  }
  // From the bars themselves: whatever sessions the market keeps, they are in the data.
  out.periods_per_year = backtest::periods_per_year_of(out.equity_curve);
  out.price_symbol = options_.symbols.front();
  // The same keys during the run and after it: what is open is listed either way.
  for (const auto& h : portfolio_.holdings()) {
    if (h.qty != 0) out.positions.push_back({h.symbol, h.qty, h.avg_price, h.unrealized_pnl()});
  }
  out.commission = portfolio_.fees();
  out.slippage = portfolio_.slippage();
  if (guard_) {
    for (const auto& r : guard_->refusals()) {
      out.refusals.push_back(
          {r.time, r.symbol, std::string(to_string(r.side)), r.qty, r.reason});
    }
  }
  std::size_t n = 0;
  for (const auto& t : portfolio_.trades()) {
    out.trade_costs.push_back({.commission = t.fees, .slippage = t.slippage});
    const auto side =
        t.side == Side::BUY ? strategy::PositionSide::LONG : strategy::PositionSide::SHORT;
    const auto entry = platform::from_epoch_ms(static_cast<double>(t.entry_ms));
    const auto exit = platform::from_epoch_ms(static_cast<double>(t.exit_ms));
    const double value = t.entry_price * static_cast<double>(t.qty);
    out.trades.push_back(strategy::ClosedPosition{
        .id = fmt::format("{}-{}", t.symbol, ++n),
        .symbol = t.symbol,
        .side = side,
        .quantity = t.qty,
        .entry_price = t.entry_price,
        .exit_price = t.exit_price,
        .entry_time = entry,
        .exit_time = exit,
        .pnl = t.net_pnl(),
        .pnl_percent = value > 0 ? 100.0 * t.net_pnl() / value : 0.0,
        .duration_seconds = static_cast<double>(t.exit_ms - t.entry_ms) / 1000.0});
  }
  return out;
}

asio::awaitable<void> Runner::close_out(std::chrono::steady_clock::time_point deadline) {
  // Working orders first: a resting entry that fills after the flattening order would leave
  // a position open, and a target counts what they would still add.
  for (const auto& o : orders_.open_orders()) {
    if (o.status != OrderStatus::WORKING) continue;
    log_.info("Cancelling order {} ({} {} {}) before flattening", o.ref, to_string(o.intent.side),
              o.intent.qty - o.filled_qty, o.intent.symbol);
    orders_.cancel(o.ref);
  }
  co_await orders_.settle();
  while (!orders_.open_orders().empty() && std::chrono::steady_clock::now() < deadline) {
    co_await sleep_for(20ms);
  }
  for (const auto& h : portfolio_.holdings()) {
    if (h.qty == 0) continue;
    log_.info("Flattening {} {} on {}", h.qty > 0 ? "long" : "short", std::abs(h.qty), h.symbol);
    try {
      orders_.target_position(symbol(h.symbol), 0);
    } catch (const std::exception& e) {
      log_.error("Flattening {} failed: {}", h.symbol, e.what());
    }
  }
}

asio::awaitable<void> Runner::flatten() {
  const auto deadline = std::chrono::steady_clock::now() + kFlattenTimeout;
  while (cutting_risk_ && std::chrono::steady_clock::now() < deadline) co_await sleep_for(20ms);
  co_await close_out(deadline);
  auto flat = [&] {
    for (const auto& h : portfolio_.holdings()) {
      if (h.qty != 0) return false;
    }
    return orders_.open_orders().empty();
  };
  while (!flat() && std::chrono::steady_clock::now() < deadline) co_await sleep_for(20ms);
  for (const auto& h : portfolio_.holdings()) {
    if (h.qty != 0) log_.error("Position still open at exit: {} {}", h.symbol, h.qty);
  }
}

// Money to the cent, as the back end books it.
void Runner::print_summary(const backtest::ReplayProgress* replay) const {
  const auto trades = portfolio_.trades();
  std::size_t wins = 0;
  // Won when it made at least a cent, as the report counts it.
  for (const auto& t : trades) wins += std::round(t.net_pnl() * 100) > 0 ? 1 : 0;
  std::string text = fmt::format("\n=== {} ===\nTrades: {} ({} won)\n", options_.name,
                                 trades.size(), wins);
  for (const auto& h : portfolio_.holdings()) {
    text += fmt::format("{}: position {}, realised {:.2f}, fees {:.2f}, net {:.2f}\n", h.symbol,
                        h.qty, h.realized_pnl, h.fees, h.net_pnl());
  }
  // Slippage is inside the fill prices: the result before costs adds it back.
  text += fmt::format("Net P&L: {:.2f} (gross {:.2f}, commission {:.2f}, slippage {:.2f})\n",
                      portfolio_.net_pnl(),
                      portfolio_.net_pnl() + portfolio_.fees() + portfolio_.slippage(),
                      portfolio_.fees(), portfolio_.slippage());
  if (guard_) {
    const auto refused = guard_->refusals();
    text += fmt::format("Risk guard: {} orders refused{}\n", refused.size(),
                        guard_->halted() ? "; halted: " + guard_->halt_reason() : "");
  }
  if (replay) {
    try {
      const auto r = result();
      const auto m = backtest::Metrics::compute(r);
      if (m.ruined_at_bar) {
        text += fmt::format("RUINED at bar {}: equity reached {:.2f}; the run stopped there\n",
                            *m.ruined_at_bar, r.equity_curve[*m.ruined_at_bar].equity);
      }
      text += "== Backtest summary\n";
      text += fmt::format("Bars:          {} in {:.2f} s ({:.0f} bars/s)\n", replay->done,
                          replay->seconds, replay->bars_per_second());
      text += fmt::format("Win rate:      {:.1f}% ({} won, {} lost, {} breakeven)\n", m.win_rate,
                          m.wins, m.losses, m.breakeven);
      text += fmt::format("Equity:        {:.2f} -> {:.2f} ({:+.2f}%)\n", m.initial_equity,
                          m.final_equity, m.return_percent);
      text += fmt::format("Max drawdown:  {:.2f} ({:.2f}%), {} bars\n", m.max_drawdown,
                          m.max_drawdown_percent, m.max_drawdown_duration_bars);
      text += fmt::format("Sharpe:        {:.3f}   Sortino: {:.3f}   Exposure: {:.1f}%\n",
                          m.sharpe_ratio, m.sortino_ratio, m.exposure);
      text += fmt::format("               ({})\n", m.annualisation);
    } catch (const std::exception& e) {
      // What was made above is still printed: the run's money comes first.
      text += fmt::format("Backtest figures could not be computed: {}\n", e.what());
    }
  }
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

asio::awaitable<int> Runner::run() {
  started_ = std::chrono::steady_clock::now();
  asio::signal_set signals(loop_, SIGINT, SIGTERM);
  signals.async_wait([this](const boost::system::error_code& ec, int number) {
    if (!ec) request_stop(fmt::format("signal {}", number));
  });
  orders_.on_event([this](const OrderEvent& e) { on_event(e); });
  log_.info("Starting {} on {} ({} s bars), back end {}", options_.name,
            fmt::join(options_.symbols, ","), options_.resolution, options_.backend);

  // The symbols' trading rules.
  for (auto& [name, sym] : symbols_) {
    if (auto master = co_await prices_.async_get_product_master(name)) {
      sym.update_from_master(*master);
      log_.info("{}: tick {}, lot {}, minimum {}", name, sym.tick_size, sym.lot_size, sym.min_qty);
    } else {
      log_.warning("No product master for {}: tick {} and lot {} assumed", name, sym.tick_size,
                   sym.lot_size);
    }
  }

  // The control API, on its own thread; POST /stop comes back to this loop.
  ControlApp app(*this, [this] { request_stop("POST /stop"); });
  app._loop.attach(&loop_);
  Application::EventLoop::Scope loop_running(app._loop);
  std::optional<APIServer> server;
  if (options_.control_port >= 0) {
    APIServer::Options server_options{.host = options_.control_host};
    server_options.bearer_token = options_.control_token;
    const bool local = options_.control_host == "127.0.0.1" || options_.control_host == "::1" ||
                       options_.control_host == "localhost";
    if (!local && options_.control_token.empty()) {
      log_.warning("The control API on {} is open to the network without a token: anyone who "
                   "reaches it can stop the strategy (set TOLBU_CONTROL_TOKEN)",
                   options_.control_host);
    }
    server.emplace(app, options_.control_port, server_options);
    server->start();
    if (!server->wait_until_listening(10s)) {
      std::cerr << options_.name << ": the control API could not listen on "
                << options_.control_host << ":" << options_.control_port << "\n";
      co_return 1;
    }
    std::printf("control API on %s:%d\n", options_.control_host.c_str(), server->port());
    std::fflush(stdout);
  }

  strategy_.on_start(context_);

  ProgressLine line;
  features::TolbuStream stream(config_);
  // The stream, connected first: a replay is driven over it. A gap, or a reconnect that may
  // have missed reports, reconciles the orders from REST.
  stream.on_gap([this](const std::string& channel) {
    spawn_reconcile("Stream gap on " + channel);
    try {
      strategy_.on_gap(context_, channel);
    } catch (const std::exception& e) {
      log_.error("on_gap failed: {}", e.what());
    }
  });
  int connects = 0;
  auto on_connect = [this, &connects] {
    if (++connects > 1) spawn_reconcile("Stream reconnected");
  };
  auto on_error = [this](const std::exception& e) { log_.error("Stream error: {}", e.what()); };
  co_await stream.connect(on_connect, nullptr, on_error);
  // Subscriptions made before the connection is up only go out with it: a replay's first
  // step must not come before them, nor its start before the connection.
  co_await stream.client()->ready(std::chrono::seconds(10));

  // A backtest's replay: the sim's clock then stands at the first bar, where history ends.
  std::optional<backtest::BacktestRuntime> replay;
  std::int64_t history_end = platform::now_epoch_ms() + 86'400'000;
  if (options_.backtest) {
    backtest::ReplayRange range{.symbol = options_.symbols.front(),
                                .resolution = options_.resolution,
                                .from_ms = options_.from_ms,
                                .to_ms = options_.to_ms};
    // Given, the capital is also the sim account's cash: orders beyond its margin are refused.
    if (options_.capital_given) range.capital = options_.capital;
    range.more_symbols.assign(options_.symbols.begin() + 1, options_.symbols.end());
    replay.emplace(config_, stream, range);
    // Orders sent while a bar is handled reach the sim before its clock moves on.
    replay->before_step = [this]() -> asio::awaitable<void> { co_await replay_settled(); };
    co_await replay->start();
    progress_source_ = [&replay] { return replay->progress().percent(); };
    history_end = options_.from_ms;
  }

  // History: every complete bar goes through on_bar while warming up; the newest may be
  // forming and waits for the stream's candles, subscribed below.
  warming_up_ = true;
  const std::int64_t length_ms = std::int64_t{options_.resolution} * 1000;
  for (const auto& name : options_.symbols) {
    const auto candles = co_await prices_.async_fetch_candles(
        name, options_.resolution,
        history_end - static_cast<std::int64_t>(options_.history_bars + 1) * length_ms,
        history_end, false, static_cast<std::int64_t>(options_.history_bars));
    for (const auto& candle : candles) on_candle(name, candle);
    log_.info("History of {}: {} bars", name, candles.size());
  }
  warming_up_ = false;
  // Live, a price between bars may trade before the first bar closes: the curve starts from
  // the capital at the end of the history, so that its change is the whole net result. A
  // replay trades only once its first bar is closed, which is the curve's first point.
  if (!replay && now_ != platform::LocalDateTime{}) {
    std::lock_guard lock(report_mutex_);
    if (equity_.empty()) equity_.push_back({now_, options_.capital, false});
  }

  for (const auto& name : options_.symbols) {
    auto on_candle_of = [this, name, replaying = replay.has_value()](const types::Candle& c) {
      if (replaying) {
        queue_replay_candle(name, c);
      } else {
        on_candle(name, c);
      }
    };
    co_await stream.subscribe_candles(name, options_.resolution, on_candle_of);
  }
  auto on_report = [this](const boost::json::value& r) { orders_.on_execution_report(r); };
  co_await stream.subscribe_order_execution_report(options_.account_id, on_report);
  // Live, prices between bars: trades for stops, depth for the touch. A replay steps candles.
  if (!replay) {
    for (const auto& name : options_.symbols) {
      auto on_stat = [this, name](const types::ProductStat& stat) {
        symbol(name).update_from_stat(stat);
        price_update(name, stat.last_price);
      };
      co_await stream.subscribe_product_stat(name, on_stat);
      auto on_depth = [this, name](const types::Depth& depth) {
        symbol(name).update_from_depth(depth);
      };
      co_await stream.subscribe_depth(name, on_depth);
    }
  }

  if (replay) {
    stop_replay_ = [&replay] { replay->request_stop(); };
    auto on_step = [this, &replay, &line](const backtest::ReplayBar& bar) {
      if ((bar.index & 63) == 0) line.show(replay_progress_text(replay->progress()));
    };
    if (!stop_requested_) co_await replay->run(on_step);
    line.show(replay_progress_text(replay->progress()), true);
    line.finish();
    if (!stop_requested_) {
      // The last bar has no successor to close it.
      for (const auto& name : options_.symbols) {
        if (const auto last = symbol(name).bars.current()) close_bar(*last);
      }
      co_await replay_settled();
      request_stop("replay finished");
    }
    stop_replay_ = nullptr;
  }

  // Until the duration, a stop or a signal.
  if (!stop_requested_ && !replay) {
    const auto end =
        options_.duration_seconds > 0
            ? started_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(options_.duration_seconds))
            : std::chrono::steady_clock::time_point::max();
    auto next_trim = std::chrono::steady_clock::now() + kTrimEvery;
    while (!stop_requested_ && std::chrono::steady_clock::now() < end) {
      line.show(live_progress_text());
      stop_timer_.expires_at(std::min(end, std::chrono::steady_clock::now() + line.interval()));
      co_await stop_timer_.async_wait(asio::as_tuple(asio::use_awaitable));
      if (std::chrono::steady_clock::now() >= next_trim) {
        give_back_free_memory();
        next_trim += kTrimEvery;
      }
    }
    line.show(live_progress_text(), true);
    line.finish();
    if (!stop_requested_) request_stop("duration reached");
  }
  app._status = "STOPPING";
  try {
    strategy_.on_stop(context_);
  } catch (const std::exception& e) {
    log_.error("on_stop failed: {}", e.what());
  }
  co_await orders_.settle();
  if (options_.flatten_on_stop) co_await flatten();
  record_final_equity();
  signals.cancel();
  try {
    co_await stream.disconnect();
  } catch (const std::exception& e) {
    log_.warning("Stream disconnect failed: {}", e.what());
  }
  std::optional<backtest::ReplayProgress> replayed;
  if (replay) replayed = replay->progress();
  print_summary(replayed ? &*replayed : nullptr);
  co_await check_positions();
  const bool reports_written = write_reports();
  // A finished backtest's report stays on "/report" and "/dashboard" a while for a look.
  if (server && replay && options_.linger_seconds > 0) {
    app._status = "FINISHED";
    std::printf("control API stays up %g s (POST /stop ends it)\n", options_.linger_seconds);
    std::fflush(stdout);
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(options_.linger_seconds));
    while (std::chrono::steady_clock::now() < until && !(app._status == "STOPPING")) {
      co_await sleep_for(50ms);
    }
  }
  app._status = "STOPPED";
  if (server) server->shutdown();
  if (!failure_.empty()) {
    std::cerr << options_.name << ": backtest failed: " << failure_ << "\n";
    co_return 1;
  }
  co_return reports_written ? 0 : 1;
}

void Runner::record_final_equity() {
  std::lock_guard lock(report_mutex_);
  if (equity_.empty()) return;
  bool open = false;
  for (const auto& h : portfolio_.holdings()) open = open || h.qty != 0;
  equity_.back().equity = options_.capital + portfolio_.net_pnl();
  equity_.back().in_position = equity_.back().in_position || open;
}

bool Runner::write_reports() {
  if (options_.report_dir.empty()) return true;
  const std::filesystem::path dir(options_.report_dir);
  std::vector<std::string> written, failed;
  std::optional<backtest::BacktestResult> result;
  try {
    result = this->result();
  } catch (const std::exception& e) {
    failed.push_back(fmt::format("the report could not be made: {}", e.what()));
  }
  std::error_code ignored;  // a folder that cannot be made shows in each file's error
  std::filesystem::create_directories(dir, ignored);
  using Writer = void (*)(const std::filesystem::path&, const backtest::BacktestResult&);
  const std::pair<const char*, Writer> files[] = {{"report.json", &backtest::write_json_report},
                                                  {"report.html", &backtest::write_html_report}};
  for (const auto& [name, write] : files) {
    if (!result) break;
    const auto file = dir / name;
    try {
      write(file, *result);
      written.push_back(file.string());
    } catch (const std::exception& e) {
      // The other file is still written: one failure loses no more than itself.
      failed.push_back(fmt::format("{} could not be written: {}", file.string(), e.what()));
    }
  }
  if (!written.empty()) {
    log_.info("Report written to {}", fmt::join(written, ", "));
    std::printf("Reports: %s\n", fmt::format("{}", fmt::join(written, ", ")).c_str());
    std::fflush(stdout);
  }
  for (const auto& why : failed) {
    log_.error("{}", why);
    std::cerr << options_.name << ": " << why << "\n";
  }
  return failed.empty();
}

asio::awaitable<void> Runner::check_positions() {
  std::optional<std::vector<boost::json::object>> accounts;
  try {
    accounts = co_await service_.async_get_accounts();
  } catch (const std::exception& e) {
    log_.warning("The back end's account could not be read: {}", e.what());
  }
  const boost::json::object* account = nullptr;
  if (accounts) {
    for (const auto& a : *accounts) {
      const auto* id = a.if_contains("accountId");
      if (id && id->is_string() && id->get_string() == options_.account_id) account = &a;
    }
  }
  if (!account) {
    std::printf("Back end: account %s not found, positions not checked\n",
                options_.account_id.c_str());
    std::fflush(stdout);
    co_return;
  }
  std::map<std::string, std::int64_t> theirs;
  if (const auto* list = account->if_contains("positions"); list && list->is_array()) {
    for (const auto& p : list->get_array()) {
      const auto& o = p.as_object();
      theirs[std::string(o.at("symbol").as_string())] = o.at("qty").to_number<std::int64_t>();
    }
  }
  std::size_t mismatches = 0;
  for (const auto& name : options_.symbols) {
    const std::int64_t ours = portfolio_.position(name);
    const std::int64_t back_end = theirs.contains(name) ? theirs[name] : 0;
    if (ours == back_end) continue;
    ++mismatches;
    log_.error("Position of {}: ours {}, the back end's {}", name, ours, back_end);
    std::printf("Back end: position of %s is %lld, ours %lld\n", name.c_str(),
                static_cast<long long>(back_end), static_cast<long long>(ours));
  }
  if (mismatches == 0) std::printf("Back end: positions agree\n");
  std::fflush(stdout);
}

std::string Context::param(const std::string& key, const std::string& fallback) const {
  const auto& params = runner_.options().params;
  auto it = params.find(key);
  return it == params.end() ? fallback : it->second;
}

double Context::param(const std::string& key, double fallback) const {
  const auto text = param(key, std::string());
  if (text.empty()) return fallback;
  try {
    std::size_t used = 0;
    const double value = std::stod(text, &used);
    if (used == text.size() && std::isfinite(value)) return value;
  } catch (const std::exception&) {
  }
  throw ValueError("Parameter " + key + " must be a finite number, got \"" + text + "\"");
}

const RunOptions& Context::options() const { return runner_.options(); }
strategy::Symbol& Context::symbol(const std::string& name) { return runner_.symbol(name); }
Portfolio& Context::portfolio() { return runner_.portfolio(); }
OrderManager& Context::orders() { return runner_.orders(); }
utils::StrategyLogger& Context::log() { return runner_.log(); }
bool Context::warming_up() const { return runner_.warming_up(); }
platform::LocalDateTime Context::now() const { return runner_.now(); }
const RiskGuard* Context::risk() const { return runner_.risk(); }
const std::string& Context::refusal() const { return runner_.refusal(); }
void Context::stop(const std::string& reason) { runner_.request_stop(reason); }

std::string Context::buy(const std::string& symbol, std::int64_t qty, double price,
                         std::string tag) {
  return runner_.submit(symbol, {.side = Side::BUY, .qty = qty, .price = price,
                                 .tag = std::move(tag)});
}

std::string Context::sell(const std::string& symbol, std::int64_t qty, double price,
                          std::string tag) {
  return runner_.submit(symbol, {.side = Side::SELL, .qty = qty, .price = price,
                                 .tag = std::move(tag)});
}

std::string Context::target(const std::string& symbol, std::int64_t position, double price,
                            std::string tag) {
  return runner_.target(symbol, position, price, std::move(tag));
}

int run(Strategy& strategy, const RunOptions& options) {
  auto logs = std::make_shared<RecentLogs>();
  try {
    const std::filesystem::path dir(options.log_dir);
    utils::setup_logging({.level = options.log_level,
                          .log_file = (dir / "tolbu_strategy.log").string(),
                          .warn_log_file = (dir / "warn.log").string(),
                          .stream_log_file = (dir / "stream.log").string()});
  } catch (const std::exception& e) {
    std::cerr << options.name << ": logging set-up failed: " << e.what() << "\n";
    return 2;
  }
  logs->set_level(logging::INFO);
  logs->set_formatter(std::make_shared<utils::DetailedFormatter>());
  logging::root_logger().add_handler(logs);

  asio::io_context loop;
  int exit_code = 0;
  // A back end address the config refuses, or an in-process sim's bad option: said, not a
  // crash.
  std::optional<Runner> set_up;
  try {
    set_up.emplace(strategy, options, loop, *logs);
  } catch (const std::exception& e) {
    logging::get_logger(options.name).error("Run not started: {}", e.what());
    std::cerr << options.name << ": " << e.what() << "\n";
    logging::root_logger().remove_handler(logs);
    return 2;
  }
  {
    Runner& runner = *set_up;
    asio::co_spawn(loop, runner.run(), [&](std::exception_ptr error, int code) {
      exit_code = code;
      if (error) {
        exit_code = 1;
        try {
          std::rethrow_exception(error);
        } catch (const std::exception& e) {
          runner.log().error("Run failed: {}", e.what());
          std::cerr << options.name << ": " << e.what() << "\n";
        }
      }
      loop.stop();
    });
    loop.run();
    set_up.reset();
  }
  logging::root_logger().remove_handler(logs);
  return exit_code;
}

int run_main(int argc, char** argv, Strategy& strategy, std::string name) {
  RunOptions defaults;
  defaults.name = std::move(name);
  return run_main(argc, argv, strategy, std::move(defaults));
}

int run_main(int argc, char** argv, Strategy& strategy, RunOptions defaults) {
  int exit_code = 0;
  auto options = parse_run_options(argc, argv, defaults, exit_code);
  if (!options) return exit_code;
  return run(strategy, *options);
}

}  // namespace tolbu_sdk::kit

#pragma once
// The kit's live run: the services, the stream, the control API and the strategy's hooks on
// one event loop. Context forwards to it.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "recent_logs.hpp"
#include "tolbu_sdk/backtest/report.hpp"
#include "tolbu_sdk/backtest/runtime.hpp"
#include "tolbu_sdk/config.hpp"
#include "tolbu_sdk/features/orders.hpp"
#include "tolbu_sdk/features/prices.hpp"
#include "tolbu_sdk/features/streaming.hpp"
#include "tolbu_sdk/kit/strategy.hpp"
#include "tolbu_sdk/sim/engine.hpp"

namespace tolbu_sdk::kit {

class Runner {
 public:
  Runner(Strategy& strategy, const RunOptions& options, boost::asio::io_context& loop,
         const RecentLogs& logs);

  // The whole run; its exit code.
  platform::detail::awaitable<int> run();

  // For Context and the control API.
  const RunOptions& options() const { return options_; }
  strategy::Symbol& symbol(const std::string& name);
  Portfolio& portfolio() { return portfolio_; }
  OrderManager& orders() { return orders_; }
  utils::StrategyLogger& log() { return log_; }
  bool warming_up() const { return warming_up_; }
  platform::LocalDateTime now() const { return now_; }
  std::string submit(const std::string& symbol, OrderIntent intent);
  std::string target(const std::string& symbol, std::int64_t position, double price,
                     std::string tag);
  void request_stop(const std::string& reason);
  const RiskGuard* risk() const { return guard_ ? &*guard_ : nullptr; }
  const std::string& refusal() const { return refusal_; }
  // An order the kit's rules refuse: the strategy is misconfigured. A backtest stops and exits
  // non-zero (an empty report would look like a result); live, the order is skipped.
  void refuse_order(const std::string& text);
  // The report as it stands: trades net of fees, the equity curve, prices of the first symbol.
  backtest::BacktestResult result() const;
  const RecentLogs& logs() const { return logs_; }
  double progress() const;

 private:
  void on_candle(const std::string& symbol, const types::Candle& candle);
  // A replay's candles wait for the orders in flight: each hook sees the outcome of what the
  // hooks before it sent, so that a backtest gives the same result every time.
  void queue_replay_candle(const std::string& symbol, const types::Candle& candle);
  platform::detail::awaitable<void> drain_replay();
  platform::detail::awaitable<void> replay_settled();
  void close_bar(const strategy::Bar& bar);
  void price_update(const std::string& symbol, double price);
  std::string positions_text() const;
  std::string live_progress_text() const;
  void on_event(const OrderEvent& event);
  void spawn_reconcile(const std::string& why);
  // Why an order may not go out now ("" when it may), and the refusal logged and kept.
  std::string refuse(const std::string& symbol, Side side, std::int64_t qty);
  // Cancels the working orders and waits for every open order's outcome (until deadline),
  // then orders each position to zero.
  platform::detail::awaitable<void> close_out(std::chrono::steady_clock::time_point deadline);
  // close_out, then waits until flat (bounded).
  platform::detail::awaitable<void> flatten();
  // The backtest's figures too when a replay ran.
  void print_summary(const backtest::ReplayProgress* replay) const;
  // The portfolio's positions against the back end's account: a line that they agree, or an
  // ERROR for each symbol where they do not.
  platform::detail::awaitable<void> check_positions();

  Strategy& strategy_;
  RunOptions options_;
  boost::asio::io_context& loop_;
  const RecentLogs& logs_;
  std::unique_ptr<sim::Engine> sim_;  // with --inproc; before the services that reach it
  TolbuConfig config_;
  features::MarketDataService prices_;
  features::OrderService service_;
  Portfolio portfolio_;
  OrderManager orders_;
  utils::StrategyLogger log_;
  Context context_;
  std::map<std::string, strategy::Symbol> symbols_;
  bool warming_up_ = false;
  platform::LocalDateTime now_{};
  boost::asio::steady_timer stop_timer_;
  bool stop_requested_ = false;
  std::optional<RiskGuard> guard_;
  bool cutting_risk_ = false;  // a loss limit's close-out is under way: the replay waits
  std::string refusal_;
  std::string failure_;  // why a backtest failed; its exit is then not 0
  bool reconciling_ = false;
  bool reconcile_again_ = false;
  std::deque<std::pair<std::string, types::Candle>> replay_queue_;
  bool draining_ = false;
  boost::asio::steady_timer* replay_waiter_ = nullptr;  // replay_settled's, woken when settled
  void wake_replay();
  std::function<void()> stop_replay_;       // ends a backtest's replay early
  std::function<double()> progress_source_;  // a backtest's share of bars replayed
  std::chrono::steady_clock::time_point started_;

  mutable std::mutex report_mutex_;  // the control API reads the curve from its thread
  std::vector<backtest::EquityPoint> equity_;
  std::vector<backtest::PricePoint> prices_of_first_;
  std::optional<std::size_t> ruined_at_bar_;  // a backtest stopped where equity reached 0
  // Equity after the run's last fills (the flattening's fees too) on the last point.
  void record_final_equity();
  // Both report files, each on its own: false after saying which could not be written.
  bool write_reports();
};

}  // namespace tolbu_sdk::kit

#pragma once
// The example's face towards the control API: the application object whose operations the
// API server calls from its own thread, and the in-memory log that "/logs" shows.

#include <boost/asio/awaitable.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "ledger.hpp"
#include "tolbu_sdk/control.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace sma_crossover {

// Keeps the newest log lines in memory, formatted like the log file.
class RecentLogs : public tolbu_sdk::logging::Handler {
 public:
  explicit RecentLogs(std::size_t capacity = 1000) : capacity_(capacity) {}
  // The newest `limit` lines, oldest first; none for a limit below 1.
  boost::json::array lines(std::int64_t limit) const;

 protected:
  void emit(std::string_view line) override;

 private:
  std::size_t capacity_;
  mutable std::mutex mutex_;  // emit runs on any thread, lines() on the control thread
  std::deque<std::string> lines_;
};

class ControlApp : public tolbu_sdk::Application {
 public:
  // request_stop ends the run; it is called on the event loop.
  ControlApp(const Ledger& ledger, const RecentLogs& logs, std::chrono::seconds duration,
             std::function<void()> request_stop);

  boost::json::value get_status() override;
  double get_progress() override;
  boost::json::value get_algo_stat_report() override;
  boost::json::array get_logs(std::int64_t limit) override;
  boost::json::array get_orders(const std::optional<std::string>& account_id,
                                const std::optional<std::string>& symbol) override;
  boost::json::array get_trades(const std::optional<std::string>& account_id) override;
  boost::asio::awaitable<void> stop() override;

  // A backtest's progress (per cent of bars replayed) instead of the share of the run time;
  // set before the control API starts.
  void set_progress_source(std::function<double()> source) { progress_ = std::move(source); }
  // The finished backtest's report, answered by "/report" from then on.
  void set_report(boost::json::object report);

 private:
  const Ledger& ledger_;
  const RecentLogs& logs_;
  std::chrono::steady_clock::time_point started_;
  std::chrono::seconds duration_;
  std::function<void()> request_stop_;
  std::function<double()> progress_;
  mutable std::mutex report_mutex_;
  std::optional<boost::json::object> report_;
};

// Starts the control API and prints its port on stdout; false, with a line on stderr, when it
// could not listen.
bool start_control_api(tolbu_sdk::APIServer& server, const std::string& host, int port);

}  // namespace sma_crossover

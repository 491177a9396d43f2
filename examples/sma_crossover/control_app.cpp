#include "control_app.hpp"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace sma_crossover {

namespace json = boost::json;

json::array RecentLogs::lines(std::int64_t limit) const {
  std::lock_guard lock(mutex_);
  json::array out;
  if (limit <= 0) return out;
  const std::size_t n = std::min(lines_.size(), static_cast<std::size_t>(limit));
  for (auto it = lines_.end() - static_cast<std::ptrdiff_t>(n); it != lines_.end(); ++it)
    out.emplace_back(*it);
  return out;
}

void RecentLogs::emit(std::string_view line) {
  std::lock_guard lock(mutex_);
  lines_.emplace_back(line);
  if (lines_.size() > capacity_) lines_.pop_front();
}

ControlApp::ControlApp(const Ledger& ledger, const RecentLogs& logs, std::chrono::seconds duration,
                       std::function<void()> request_stop)
    : ledger_(ledger),
      logs_(logs),
      started_(std::chrono::steady_clock::now()),
      duration_(duration),
      request_stop_(std::move(request_stop)) {
  _status = "RUNNING";
}

json::value ControlApp::get_status() { return json::string(_status.get()); }

// The share of the planned run time that has passed.
double ControlApp::get_progress() {
  if (progress_) return progress_();
  if (duration_.count() <= 0) return 0.0;  // runs until stopped
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started_;
  return std::min(100.0, 100.0 * elapsed.count() / static_cast<double>(duration_.count()));
}

json::value ControlApp::get_algo_stat_report() {
  {
    std::lock_guard lock(report_mutex_);
    if (report_) return *report_;
  }
  return ledger_.report();
}

void ControlApp::set_report(json::object report) {
  std::lock_guard lock(report_mutex_);
  report_ = std::move(report);
}

json::array ControlApp::get_logs(std::int64_t limit) { return logs_.lines(limit); }

json::array ControlApp::get_orders(const std::optional<std::string>& account_id,
                                   const std::optional<std::string>& symbol) {
  return ledger_.orders(account_id, symbol);
}

json::array ControlApp::get_trades(const std::optional<std::string>& account_id) {
  return ledger_.trades(account_id);
}

boost::asio::awaitable<void> ControlApp::stop() {
  _status = "STOPPING";
  request_stop_();
  co_return;
}

bool start_control_api(tolbu_sdk::APIServer& server, const std::string& host, int port) {
  server.start();
  if (!server.wait_until_listening(std::chrono::seconds(10))) {
    std::cerr << "sma_crossover: the control API could not listen on " << host << ":" << port
              << " (see logs/warn.log)\n";
    return false;
  }
  std::printf("control API on port %d\n", server.port());
  std::fflush(stdout);
  return true;
}

}  // namespace sma_crossover

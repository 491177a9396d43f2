#pragma once
// The control API's view of a kit run: status, progress, the report, orders and trades from
// the portfolio and the order manager, the newest log lines, and POST /stop.

#include <boost/json/array.hpp>
#include <boost/json/value.hpp>

#include <functional>

#include "tolbu_sdk/control.hpp"

namespace tolbu_sdk::kit {

class Runner;

class ControlApp : public Application {
 public:
  // request_stop runs on the event loop.
  ControlApp(Runner& runner, std::function<void()> request_stop);

  boost::json::value get_status() override;
  double get_progress() override;
  boost::json::value get_algo_stat_report() override;
  boost::json::array get_logs(std::int64_t limit) override;
  boost::json::array get_orders(const std::optional<std::string>& account_id,
                                const std::optional<std::string>& symbol) override;
  boost::json::array get_trades(const std::optional<std::string>& account_id) override;
  platform::detail::awaitable<void> stop() override;

 private:
  Runner& runner_;
  std::function<void()> request_stop_;
};

}  // namespace tolbu_sdk::kit

#include "control_app.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/json.hpp>

#include "runner.hpp"
#include "tolbu_sdk/platform/datetime.hpp"

namespace tolbu_sdk::kit {

namespace json = boost::json;

ControlApp::ControlApp(Runner& runner, std::function<void()> request_stop)
    : runner_(runner), request_stop_(std::move(request_stop)) {
  _status = "RUNNING";
}

json::value ControlApp::get_status() { return json::string(_status.get()); }

double ControlApp::get_progress() { return runner_.progress(); }

// The report with every open position, so that a watcher can check them against the back end.
json::value ControlApp::get_algo_stat_report() {
  auto report = backtest::report_json(runner_.result());
  json::array positions;
  for (const auto& h : runner_.portfolio().holdings()) {
    if (h.qty == 0) continue;
    positions.push_back(json::object{{"symbol", h.symbol},
                                     {"qty", h.qty},
                                     {"avg_price", h.avg_price},
                                     {"unrealized_pnl", h.unrealized_pnl()}});
  }
  report["positions"] = std::move(positions);
  return report;
}

json::array ControlApp::get_logs(std::int64_t limit) { return runner_.logs().lines(limit); }

// The kit's orders in the back end's layout, with the kit's reference id.
json::array ControlApp::get_orders(const std::optional<std::string>& account_id,
                                   const std::optional<std::string>& symbol) {
  auto& orders = runner_.orders();
  json::array out;
  if (account_id && *account_id != orders.account_id()) return out;
  for (const auto& o : orders.orders()) {
    if (symbol && *symbol != o.intent.symbol) continue;
    out.push_back(json::object{{"orderID", o.order_id},
                               {"refOrderID", o.ref},
                               {"accountID", orders.account_id()},
                               {"symbol", o.intent.symbol},
                               {"side", to_backend(o.intent.side)},
                               {"orderType", o.intent.price == 0.0 ? "MTL" : "LO"},
                               {"price", o.intent.price},
                               {"qty", o.intent.qty},
                               {"filledQty", o.filled_qty},
                               {"avgPrice", o.avg_price},
                               {"status", to_string(o.status)},
                               {"message", o.message},
                               {"tag", o.intent.tag}});
  }
  return out;
}

json::array ControlApp::get_trades(const std::optional<std::string>& account_id) {
  auto& runner = runner_;
  json::array out;
  if (account_id && *account_id != runner.orders().account_id()) return out;
  for (const auto& t : runner.portfolio().trades()) {
    out.push_back(json::object{
        {"symbol", t.symbol},
        {"side", to_string(t.side)},
        {"qty", t.qty},
        {"entry_price", t.entry_price},
        {"exit_price", t.exit_price},
        {"entry_time", platform::iso_text(platform::from_epoch_ms(static_cast<double>(t.entry_ms)))},
        {"exit_time", platform::iso_text(platform::from_epoch_ms(static_cast<double>(t.exit_ms)))},
        {"gross_pnl", t.gross_pnl},
        {"fees", t.fees},
        {"pnl", t.net_pnl()}});
  }
  return out;
}

platform::detail::awaitable<void> ControlApp::stop() {
  _status = "STOPPING";
  request_stop_();
  co_return;
}

}  // namespace tolbu_sdk::kit

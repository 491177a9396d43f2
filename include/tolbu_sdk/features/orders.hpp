#pragma once
// Orders over REST: placing, cancelling, closing positions, stop and bracket orders, and the
// account's orders, execution reports, trades, stop orders and bracket orders.
//
//   tolbu_sdk::features::OrderService orders(config);
//   auto answer = orders.place_order("HPG", "B", 26500, 100);
//   if (!answer.success) log(answer.message);
//
// Every request is authenticated: without a JWT every operation throws ValueError
// "Authentication token not set" and nothing is sent. An unsuccessful status never throws:
// it is logged ("API Error: ...") and comes back as the error object {"status", "message",
// "data": null}, so placements return an OrderResponse describing the failure and queries an
// empty result. A final answer that is neither a success nor an error status (a redirect, or
// 101) is such a failure too, its message beginning "Not processed: ": the server did not
// take the request, and an order is never sent a second time. Transport failures
// (TransportError), undecodable bodies (ValueError) and answers of an unexpected shape
// (TypeError) propagate. Logger: "tolbu_sdk.features.orders".
//
// Each operation comes in two forms sharing one code path (same URLs, headers, bodies, log
// lines, results and failures):
//   - the plain form blocks the calling thread until the exchange ends (from the event loop's
//     thread it blocks the loop);
//   - the awaitable twin async_<operation> runs on the event loop of the coroutine that awaits
//     it and suspends instead of blocking; several may be in flight at once on one loop. The
//     service must outlive the calls it has in flight.
// A request is written at most once: a failure after it may have left is a TransportError
// saying so, and the order is never sent again behind the caller's back.

#include "tolbu_sdk/config.hpp"
#include "tolbu_sdk/platform/detail/asio_fwd.hpp"
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/platform/http_options.hpp"
#include "tolbu_sdk/types/records.hpp"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolbu_sdk::platform::http {
class Client;
}  // namespace tolbu_sdk::platform::http

namespace tolbu_sdk::features {

// Orders over REST: placement, cancellation, stop and bracket orders, and the account's queries.
class TOLBU_API OrderService {
 public:
  // Copies the base URL; keeps a reference to config, whose jwt_token is read on every
  // request. http sets the connect and stall timeouts and connection reuse.
  explicit OrderService(const TolbuConfig& config, platform::http::Options http = {});
  // A temporary configuration would be gone before the first request reads it.
  OrderService(TolbuConfig&&, platform::http::Options = {}) = delete;
  ~OrderService();
  OrderService(const OrderService&) = delete;
  OrderService& operator=(const OrderService&) = delete;

  // A plain order, all in the path. Without ref_order_id (or with an empty one) a random
  // UUID is used. order_type: "LO" (priced), "MTL", "ATO", "ATC".
  types::OrderResponse place_order(std::string_view symbol, std::string_view side, double price,
                                   std::int64_t qty, std::string_view order_type = "LO",
                                   std::string_view account_id = "",
                                   std::optional<std::string> ref_order_id = std::nullopt);

  // Cancels order `order_id`; account_id is not sent, the order id names the order.
  types::OrderResponse cancel_order(std::string_view order_id, std::string_view account_id);

  // Closes a position with an opposing "MTL" order at price 0: side "B", "BUY" or "LONG"
  // (any case) is closed by selling, anything else by buying. qty is truncated toward zero.
  types::OrderResponse close_position(std::string_view symbol, double qty, std::string_view side,
                                      std::string_view account_id);

  // A stop order at `stop_price`, becoming a limit order at `limit_price` when given.
  types::OrderResponse place_stop_order(std::string_view symbol, std::string_view side,
                                        double stop_price, std::int64_t qty,
                                        std::string_view account_id,
                                        std::optional<double> limit_price = std::nullopt);

  // An "LO" entry at price with take-profit and stop-loss exits; the entry condition is "<="
  // for side "B" and ">=" otherwise.
  types::OrderResponse place_bracket_order(std::string_view symbol, std::string_view side,
                                           double price, std::int64_t qty,
                                           std::string_view account_id, double take_profit_price,
                                           double stop_loss_price);

  // Filters left absent, empty or 0 are not sent.
  struct OrderQuery {
    // Only this account's.
    std::optional<std::string> account_id = std::nullopt;
    std::optional<std::int64_t> start_time = std::nullopt;  // epoch ms
    std::optional<std::int64_t> end_time = std::nullopt;    // epoch ms
    // Only this instrument's.
    std::optional<std::string> symbol = std::nullopt;
    // Only orders in this status ("FILLED", ...).
    std::optional<std::string> status = std::nullopt;
  };
  // The account's orders, filtered as OrderQuery describes; empty after an unsuccessful status.
  std::vector<types::OrderData> get_orders(std::optional<std::string> account_id = std::nullopt,
                                           std::optional<std::int64_t> start_time = std::nullopt,
                                           std::optional<std::int64_t> end_time = std::nullopt,
                                           std::optional<std::string> symbol = std::nullopt,
                                           std::optional<std::string> status = std::nullopt);
  // The same with the filters in one object.
  std::vector<types::OrderData> get_orders(const OrderQuery& query);

  // The execution reports of the orders; empty after an unsuccessful status.
  std::vector<types::OrderData> get_execution_reports();

  // The trades (fills), filtered by account and time when given.
  std::vector<types::Trade> get_trades(std::optional<std::string> account_id = std::nullopt,
                                       std::optional<std::int64_t> start_time = std::nullopt,
                                       std::optional<std::int64_t> end_time = std::nullopt);

  // The back end's objects as received; absent when the answer's "data" is null (as after an
  // unsuccessful status).
  std::optional<std::vector<boost::json::object>> get_stop_orders(
      std::optional<std::string> account_id = std::nullopt);
  // @copydoc get_stop_orders
  std::optional<std::vector<boost::json::object>> get_bracket_orders(
      std::optional<std::string> account_id = std::nullopt);
  // The back end's accounts with their positions and P&L ("/api/v1/accounts"), to check a
  // strategy's own accounting against.
  std::optional<std::vector<boost::json::object>> get_accounts();

  // The awaitable twins of the operations above.
  platform::detail::awaitable<types::OrderResponse> async_place_order(
      std::string symbol, std::string side, double price, std::int64_t qty,
      std::string order_type = "LO", std::string account_id = "",
      std::optional<std::string> ref_order_id = std::nullopt);
  // @copydoc cancel_order
  platform::detail::awaitable<types::OrderResponse> async_cancel_order(std::string order_id,
                                                                       std::string account_id);
  // @copydoc close_position
  platform::detail::awaitable<types::OrderResponse> async_close_position(std::string symbol,
                                                                         double qty,
                                                                         std::string side,
                                                                         std::string account_id);
  // @copydoc place_stop_order
  platform::detail::awaitable<types::OrderResponse> async_place_stop_order(
      std::string symbol, std::string side, double stop_price, std::int64_t qty,
      std::string account_id, std::optional<double> limit_price = std::nullopt);
  // @copydoc place_bracket_order
  platform::detail::awaitable<types::OrderResponse> async_place_bracket_order(
      std::string symbol, std::string side, double price, std::int64_t qty, std::string account_id,
      double take_profit_price, double stop_loss_price);
  // @copydoc get_orders(const OrderQuery&)
  platform::detail::awaitable<std::vector<types::OrderData>> async_get_orders(OrderQuery query);
  // @copydoc get_execution_reports
  platform::detail::awaitable<std::vector<types::OrderData>> async_get_execution_reports();
  // The account's orders as received, or nothing when the back end did not answer with them:
  // for where "no such order" and "the look-up failed" must not be confused (an order whose
  // placement answer was lost); async_get_orders answers both with an empty list.
  platform::detail::awaitable<std::optional<std::vector<boost::json::object>>> async_find_orders(
      std::string account_id);
  // @copydoc get_trades
  platform::detail::awaitable<std::vector<types::Trade>> async_get_trades(
      std::optional<std::string> account_id = std::nullopt,
      std::optional<std::int64_t> start_time = std::nullopt,
      std::optional<std::int64_t> end_time = std::nullopt);
  platform::detail::awaitable<std::optional<std::vector<boost::json::object>>>
  // @copydoc get_stop_orders
  async_get_stop_orders(std::optional<std::string> account_id = std::nullopt);
  platform::detail::awaitable<std::optional<std::vector<boost::json::object>>>
  // @copydoc get_stop_orders
  async_get_bracket_orders(std::optional<std::string> account_id = std::nullopt);
  platform::detail::awaitable<std::optional<std::vector<boost::json::object>>>
  // @copydoc get_accounts
  async_get_accounts();

  // The configuration; its jwt_token is read on every request.
  const TolbuConfig& config;

 private:
  std::optional<boost::json::object> _request(std::string_view method, std::string_view endpoint,
                                              const boost::json::object* data = nullptr,
                                              const platform::http::Params* params = nullptr);
  platform::detail::awaitable<std::optional<boost::json::object>> _async_request(
      std::string method, std::string endpoint, std::optional<boost::json::object> data,
      std::optional<platform::http::Params> params);
  platform::detail::awaitable<boost::json::value> _query_data(std::string endpoint,
                                                              platform::http::Params params);
  platform::detail::awaitable<std::optional<std::vector<boost::json::object>>> _raw_query(
      std::string endpoint, std::optional<std::string> account_id);

  std::string _base_url;
  std::unique_ptr<platform::http::Client> _http;
};

}  // namespace tolbu_sdk::features

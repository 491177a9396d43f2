#include "tolbu_sdk/features/orders.hpp"

#include "../../platform/common/json_fields.hpp"

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/http.hpp"
#include "tolbu_sdk/platform/json.hpp"
#include "tolbu_sdk/platform/logging.hpp"
#include "tolbu_sdk/platform/number_text.hpp"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <cctype>
#include <cmath>

namespace tolbu_sdk::features {

namespace asio = boost::asio;
namespace http = platform::http;
namespace json = boost::json;
using platform::kind_name;
using platform::number_text;

namespace {

logging::Logger& logger() {
  static logging::Logger& log = logging::get_logger("tolbu_sdk.features.orders");
  return log;
}

std::string new_uuid() {
  // One generator per thread: the generator itself is not thread-safe.
  thread_local boost::uuids::random_generator generator;
  return boost::uuids::to_string(generator());
}

std::string text_form(const json::value& v) {
  if (const auto* s = v.if_string()) return std::string(*s);
  return platform::to_json_text(v);
}

void require_finite(double value, const char* name) {
  // "nan" or "inf" in a price would reach the exchange as an order nobody meant to place.
  if (!std::isfinite(value)) throw ValueError(std::string(name) + " must be a finite number");
}

std::string seg(std::string_view text) { return http::encode_path_segment(text); }

void add_text(http::Params& params, const char* name, const std::optional<std::string>& value) {
  if (value && !value->empty()) params.emplace_back(name, *value);
}

void add_time(http::Params& params, const char* name, const std::optional<std::int64_t>& value) {
  if (value && *value != 0) params.emplace_back(name, std::to_string(*value));
}

template <typename Record>
std::vector<Record> records_of(const json::value& data, std::string_view endpoint) {
  std::vector<Record> out;
  if (platform::is_empty(data)) return out;
  const auto* items = data.if_array();
  if (!items)
    throw TypeError("\"data\" of " + std::string(endpoint) + " must be an array, got " +
                    kind_name(data));
  out.reserve(items->size());
  for (const auto& item : *items) out.push_back(Record::from_dict(item));
  return out;
}

// The error object of an unsuccessful status: {"status", "message", "data": null}.
json::object error_object(const http::Response& response) {
  std::string fallback = "HTTP " + std::to_string(response.status_code);
  json::value message;
  try {
    json::value decoded = response.json();
    const json::object* object = decoded.if_object();
    if (!object) throw TypeError("error body is not an object");
    for (const char* key : {"error", "message", "detail"}) {
      const json::value* v = platform::find(*object, key);
      if (!platform::is_empty(v)) {
        message = *v;
        break;
      }
    }
    if (message.is_null()) message = platform::to_json_text(decoded);
  } catch (const std::exception&) {
    message = response.text.empty() ? fallback : response.text;
  }
  logger().error("API Error: {}", text_form(message));
  json::object error;
  error["status"] = response.status_code;
  error["message"] = std::move(message);
  error["data"] = nullptr;
  return error;
}

// A final answer outside 2xx that is no error status either (a redirect, or 101 to a request
// that asked for no upgrade) means the server did not take the request; the client sends an
// order once only, so it was not processed anywhere. Reported as a failure, never as success.
json::object unprocessed_object(const http::Response& response, std::string_view method) {
  std::string message = "Not processed: the server answered HTTP " +
                        std::to_string(response.status_code) + " " + response.reason;
  if (std::string location = response.header("Location"); !location.empty())
    message += ", redirecting to " + location;
  message += "; the " + std::string(method) + " was not sent again";
  logger().error("API Error: {}", message);
  json::object error;
  error["status"] = response.status_code;
  error["message"] = std::move(message);
  error["data"] = nullptr;
  return error;
}

}  // namespace

OrderService::OrderService(const TolbuConfig& config_, http::Options http_options)
    : config(config_),
      _base_url(config_.rest_api_url),
      _http(std::make_unique<http::Client>(http_options)) {}

OrderService::~OrderService() = default;

std::optional<json::object> OrderService::_request(std::string_view method,
                                                   std::string_view endpoint,
                                                   const json::object* data,
                                                   const http::Params* params) {
  std::optional<json::object> body;
  if (data) body = *data;
  std::optional<http::Params> query;
  if (params) query = *params;
  return _http->run(_async_request(std::string(method), std::string(endpoint), std::move(body),
                                   std::move(query)));
}

asio::awaitable<std::optional<json::object>> OrderService::_async_request(
    std::string method, std::string endpoint, std::optional<json::object> data,
    std::optional<http::Params> params) {
  std::string url = _base_url + endpoint;
  if (!config.jwt_token || config.jwt_token->empty())
    throw ValueError("Authentication token not set");
  http::Headers headers{{"Content-Type", "application/json"},
                        {"Authorization", "Bearer " + *config.jwt_token}};

  logger().debug("API Request: {} {}", method, url);
  if (data && !data->empty()) logger().debug("Request body: {}", platform::to_json_text(*data));

  std::optional<json::value> body;
  if (data) body = json::value(std::move(*data));
  http::Response response = co_await _http->async_request(method, url, std::move(headers),
                                                          std::move(body), std::move(params));
  logger().debug("API Response: {} {}", response.status_code,
                 http::text_prefix(response.text, 500));

  if (response.status_code < 200 || (response.status_code >= 300 && response.status_code < 400))
    co_return unprocessed_object(response, method);
  if (response.ok()) {
    json::value decoded = response.json();
    if (decoded.is_null()) co_return std::nullopt;
    if (auto* object = decoded.if_object()) co_return std::move(*object);
    throw TypeError("Expected a JSON object in the answer to " + method + " " + url + ", got " +
                    kind_name(decoded));
  }
  co_return error_object(response);
}

types::OrderResponse OrderService::place_order(std::string_view symbol, std::string_view side,
                                               double price, std::int64_t qty,
                                               std::string_view order_type,
                                               std::string_view account_id,
                                               std::optional<std::string> ref_order_id) {
  return _http->run(async_place_order(std::string(symbol), std::string(side), price, qty,
                                      std::string(order_type), std::string(account_id),
                                      std::move(ref_order_id)));
}

asio::awaitable<types::OrderResponse> OrderService::async_place_order(
    std::string symbol, std::string side, double price, std::int64_t qty, std::string order_type,
    std::string account_id, std::optional<std::string> ref_order_id) {
  require_finite(price, "price");
  if (!ref_order_id || ref_order_id->empty()) ref_order_id = new_uuid();
  std::string price_text = number_text(price);
  logger().info("Placing order: {} {} {}@{}", symbol, side, qty, price_text);
  std::string endpoint = "/api/v1/orders/new/" + seg(*ref_order_id) + "/" + seg(account_id) + "/" +
                         seg(symbol) + "/" + seg(side) + "/" + seg(price_text) + "/" +
                         std::to_string(qty) + "/" + seg(order_type);
  co_return types::OrderResponse::from_dict(
      co_await _async_request("POST", endpoint, std::nullopt, std::nullopt));
}

types::OrderResponse OrderService::cancel_order(std::string_view order_id,
                                                std::string_view account_id) {
  return _http->run(async_cancel_order(std::string(order_id), std::string(account_id)));
}

asio::awaitable<types::OrderResponse> OrderService::async_cancel_order(std::string order_id,
                                                                       std::string /*account_id*/) {
  logger().info("Canceling order: {}", order_id);
  co_return types::OrderResponse::from_dict(co_await _async_request(
      "POST", "/api/v1/orders/cancel/" + seg(order_id), std::nullopt, std::nullopt));
}

types::OrderResponse OrderService::close_position(std::string_view symbol, double qty,
                                                  std::string_view side,
                                                  std::string_view account_id) {
  return _http->run(
      async_close_position(std::string(symbol), qty, std::string(side), std::string(account_id)));
}

asio::awaitable<types::OrderResponse> OrderService::async_close_position(std::string symbol,
                                                                         double qty,
                                                                         std::string side,
                                                                         std::string account_id) {
  // Truncating NaN, infinities or out-of-range values to an integer is undefined.
  double truncated = std::trunc(qty);
  if (!std::isfinite(qty) || truncated < -9.2e18 || truncated > 9.2e18)
    throw ValueError("qty must be a finite number within the integer range");
  std::string upper(side);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const char* closing = (upper == "B" || upper == "BUY" || upper == "LONG") ? "S" : "B";
  logger().info("Closing position: {} {} {} -> Placing {} order", symbol, side, number_text(qty),
                closing);
  co_return co_await async_place_order(symbol, closing, 0.0, static_cast<std::int64_t>(truncated),
                                       "MTL", account_id, std::nullopt);
}

types::OrderResponse OrderService::place_stop_order(std::string_view symbol, std::string_view side,
                                                    double stop_price, std::int64_t qty,
                                                    std::string_view account_id,
                                                    std::optional<double> limit_price) {
  return _http->run(async_place_stop_order(std::string(symbol), std::string(side), stop_price, qty,
                                           std::string(account_id), limit_price));
}

asio::awaitable<types::OrderResponse> OrderService::async_place_stop_order(
    std::string symbol, std::string side, double stop_price, std::int64_t qty,
    std::string account_id, std::optional<double> limit_price) {
  require_finite(stop_price, "stop_price");
  if (limit_price) require_finite(*limit_price, "limit_price");
  json::object body;
  body["refOrderID"] = new_uuid();
  body["accountID"] = account_id;
  body["symbol"] = symbol;
  body["orderSide"] = side;
  body["stopPrice"] = stop_price;
  body["qty"] = qty;
  if (limit_price) body["limitPrice"] = *limit_price;
  logger().info("Placing stop order: {} {} {}@stop={}", symbol, side, qty, number_text(stop_price));
  co_return types::OrderResponse::from_dict(
      co_await _async_request("POST", "/api/v1/stop-orders", std::move(body), std::nullopt));
}

types::OrderResponse OrderService::place_bracket_order(
    std::string_view symbol, std::string_view side, double price, std::int64_t qty,
    std::string_view account_id, double take_profit_price, double stop_loss_price) {
  return _http->run(async_place_bracket_order(std::string(symbol), std::string(side), price, qty,
                                              std::string(account_id), take_profit_price,
                                              stop_loss_price));
}

asio::awaitable<types::OrderResponse> OrderService::async_place_bracket_order(
    std::string symbol, std::string side, double price, std::int64_t qty, std::string account_id,
    double take_profit_price, double stop_loss_price) {
  require_finite(price, "price");
  require_finite(take_profit_price, "take_profit_price");
  require_finite(stop_loss_price, "stop_loss_price");
  const char* condition_type = side == "B" ? "<=" : ">=";
  json::object body;
  body["symbol"] = symbol;
  body["side"] = side;
  body["account"] = account_id;
  body["quantity"] = qty;
  body["orderType"] = "LO";
  body["conditionPrice"] = price;
  body["conditionType"] = condition_type;
  body["takeProfitPrice"] = take_profit_price;
  body["stopLossPrice"] = stop_loss_price;
  logger().info("Placing bracket order: {} {} {}@{} TP={} SL={}", symbol, side, qty,
                number_text(price), number_text(take_profit_price), number_text(stop_loss_price));
  co_return types::OrderResponse::from_dict(co_await _async_request(
      "POST", "/api/v1/orders/bracket-order", std::move(body), std::nullopt));
}

asio::awaitable<json::value> OrderService::_query_data(std::string endpoint, http::Params params) {
  auto result = co_await _async_request("GET", endpoint, std::nullopt, std::move(params));
  if (!result)
    throw TypeError("The answer to GET " + endpoint + " is null: there is no \"data\" to read");
  const json::value* data = platform::find(*result, "data");
  co_return data ? *data : json::value(json::array{});
}

std::vector<types::OrderData> OrderService::get_orders(std::optional<std::string> account_id,
                                                       std::optional<std::int64_t> start_time,
                                                       std::optional<std::int64_t> end_time,
                                                       std::optional<std::string> symbol,
                                                       std::optional<std::string> status) {
  return get_orders(OrderQuery{std::move(account_id), start_time, end_time, std::move(symbol),
                               std::move(status)});
}

std::vector<types::OrderData> OrderService::get_orders(const OrderQuery& query) {
  return _http->run(async_get_orders(query));
}

asio::awaitable<std::vector<types::OrderData>> OrderService::async_get_orders(OrderQuery query) {
  http::Params params;
  add_text(params, "accountId", query.account_id);
  add_time(params, "startTime", query.start_time);
  add_time(params, "endTime", query.end_time);
  add_text(params, "symbol", query.symbol);
  add_text(params, "status", query.status);
  co_return records_of<types::OrderData>(co_await _query_data("/api/v1/orders", std::move(params)),
                                         "/api/v1/orders");
}

asio::awaitable<std::optional<std::vector<json::object>>> OrderService::async_find_orders(
    std::string account_id) {
  co_return co_await _raw_query("/api/v1/orders", std::move(account_id));
}

std::vector<types::OrderData> OrderService::get_execution_reports() {
  return _http->run(async_get_execution_reports());
}

asio::awaitable<std::vector<types::OrderData>> OrderService::async_get_execution_reports() {
  co_return records_of<types::OrderData>(co_await _query_data("/api/v1/execution-reports", {}),
                                         "/api/v1/execution-reports");
}

std::vector<types::Trade> OrderService::get_trades(std::optional<std::string> account_id,
                                                   std::optional<std::int64_t> start_time,
                                                   std::optional<std::int64_t> end_time) {
  return _http->run(async_get_trades(std::move(account_id), start_time, end_time));
}

asio::awaitable<std::vector<types::Trade>> OrderService::async_get_trades(
    std::optional<std::string> account_id, std::optional<std::int64_t> start_time,
    std::optional<std::int64_t> end_time) {
  http::Params params;
  add_text(params, "accountId", account_id);
  add_time(params, "startTime", start_time);
  add_time(params, "endTime", end_time);
  co_return records_of<types::Trade>(co_await _query_data("/api/v1/trades", std::move(params)),
                                     "/api/v1/trades");
}

asio::awaitable<std::optional<std::vector<json::object>>> OrderService::_raw_query(
    std::string endpoint, std::optional<std::string> account_id) {
  http::Params params;
  add_text(params, "accountId", account_id);
  auto result = co_await _async_request("GET", endpoint, std::nullopt, std::move(params));
  if (!result)
    throw TypeError("The answer to GET " + endpoint + " is null: there is no \"data\" to read");
  const json::value* data = platform::find(*result, "data");
  std::vector<json::object> out;
  if (!data) co_return out;
  if (data->is_null()) co_return std::nullopt;
  const auto* items = data->if_array();
  if (!items)
    throw TypeError("\"data\" of " + endpoint + " must be an array, got " + kind_name(*data));
  out.reserve(items->size());
  for (const auto& item : *items) {
    const auto* object = item.if_object();
    if (!object)
      throw TypeError("\"data\" of " + endpoint + " must hold objects, got " + kind_name(item));
    out.push_back(*object);
  }
  co_return out;
}

std::optional<std::vector<json::object>> OrderService::get_stop_orders(
    std::optional<std::string> account_id) {
  return _http->run(async_get_stop_orders(std::move(account_id)));
}

asio::awaitable<std::optional<std::vector<json::object>>> OrderService::async_get_stop_orders(
    std::optional<std::string> account_id) {
  co_return co_await _raw_query("/api/v1/stop-orders", std::move(account_id));
}

std::optional<std::vector<json::object>> OrderService::get_bracket_orders(
    std::optional<std::string> account_id) {
  return _http->run(async_get_bracket_orders(std::move(account_id)));
}

asio::awaitable<std::optional<std::vector<json::object>>> OrderService::async_get_bracket_orders(
    std::optional<std::string> account_id) {
  co_return co_await _raw_query("/api/v1/bracket-orders", std::move(account_id));
}

std::optional<std::vector<json::object>> OrderService::get_accounts() {
  return _http->run(async_get_accounts());
}

asio::awaitable<std::optional<std::vector<json::object>>> OrderService::async_get_accounts() {
  co_return co_await _raw_query("/api/v1/accounts", std::nullopt);
}

}  // namespace tolbu_sdk::features

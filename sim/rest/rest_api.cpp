// The back end's REST side: micro API candles, market data, orders and queries.

#include "rest/rest_api.hpp"
#include "market/exchange.hpp"
#include "rest/bodies.hpp"
#include "rest/layouts.hpp"
#include "server/context.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace tolbu_sim {

namespace json = boost::json;

namespace {

std::optional<std::int64_t> integer_text(std::string_view text) {
  std::int64_t value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

SimResponse candles(SimRequest& req, SimContext& ctx) {
  const std::string& symbol = req.capture("symbol");
  // "{rest...}" holds RESOLUTION/FROM/TO[/COUNT_BACK].
  std::vector<std::string> parts;
  std::string_view rest = req.capture("rest");
  for (std::size_t start = 0;;) {
    auto slash = rest.find('/', start);
    parts.emplace_back(rest.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  if (parts.size() < 3 || parts.size() > 4)
    return SimResponse::error(404,
                              "Expected /GetOhlcvHis/SYMBOL/RESOLUTION/FROM_MS/TO_MS[/COUNT_BACK]");
  std::int64_t values[4] = {0, 0, 0, 0};
  static const char* names[] = {"resolution", "from", "to", "count-back"};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    auto v = integer_text(parts[i]);
    if (!v)
      return SimResponse::error(
          400, std::string("Invalid ") + names[i] + " '" + parts[i] + "': expected an integer");
    values[i] = *v;
  }
  if (values[0] <= 0 || values[0] > 31 * 86400)
    return SimResponse::error(400, "Resolution must be from 1 to 2678400 seconds");
  std::string message;
  auto history = ctx.exchange.market().history(symbol, static_cast<int>(values[0]), values[1],
                                               values[2], values[3], ctx.exchange.now_ms(),
                                               ctx.options.max_candles, message);
  if (!history) return SimResponse::error(400, message);
  // Serialised by hand: long histories are the one large answer.
  SimResponse response;
  response.body.reserve(history->size() * 96 + 2);
  response.body.push_back('[');
  char buffer[64];
  auto put = [&](const char* key, double v, bool first = false) {
    if (!first) response.body.push_back(',');
    response.body += key;
    auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
    response.body.append(buffer, ptr);
  };
  bool first_candle = true;
  for (const auto& c : *history) {
    if (!first_candle) response.body.push_back(',');
    first_candle = false;
    response.body += "{\"time\":";
    auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, c.time);
    response.body.append(buffer, ptr);
    put("\"open\":", c.open);
    put("\"high\":", c.high);
    put("\"low\":", c.low);
    put("\"close\":", c.close);
    put("\"volume\":", c.volume);
    response.body.push_back('}');
  }
  response.body.push_back(']');
  return response;
}

const Instrument* listed(SimContext& ctx, const std::string& symbol) {
  const Instrument* in = ctx.exchange.market().find(symbol);
  return in && in->listed ? in : nullptr;
}

SimResponse product_master(SimRequest& req, SimContext& ctx) {
  const std::string& symbol = req.capture("symbol");
  const Instrument* in = listed(ctx, symbol);
  if (!in) return SimResponse::error(404, "Unknown symbol '" + symbol + "'");
  return SimResponse::json(
      200, json::object{{"data", layouts::product_master(ctx.exchange.market(), *in,
                                                          ctx.exchange.now_ms())}});
}

SimResponse margin_ratio(SimRequest& req, SimContext& ctx) {
  const std::string& symbol = req.capture("symbol");
  const Instrument* in = listed(ctx, symbol);
  if (!in) return SimResponse::error(404, "Unknown symbol '" + symbol + "'");
  return SimResponse::json(
      200,
      json::object{{"data", json::object{{"symbol", symbol}, {"marginRatio", in->margin_ratio}}}});
}

SimResponse from_result(ExchangeResult result) {
  return SimResponse::json(result.status, result.body);
}

SimResponse new_order(SimRequest& req, SimContext& ctx) {
  return from_result(ctx.exchange.place_order(
      req.capture("ref"), req.capture("account"), req.capture("symbol"), req.capture("side"),
      req.capture("price"), req.capture("qty"), req.capture("type")));
}

SimResponse cancel_order(SimRequest& req, SimContext& ctx) {
  return from_result(ctx.exchange.cancel_order(req.capture("id")));
}

// A real back end refuses a body key it does not know rather than ignore a misspelt field.
std::optional<SimResponse> unknown_key(const json::object& body,
                                       std::initializer_list<std::string_view> known) {
  for (const auto& [key, value] : body) {
    if (std::find(known.begin(), known.end(), key) == known.end())
      return SimResponse::error(400, "Unknown field \"" + std::string(key) + "\"");
  }
  return std::nullopt;
}

// Query keys are case-sensitive: "accountid" is not "accountId".
std::optional<SimResponse> miscased_query(const SimRequest& req,
                                          std::initializer_list<std::string_view> known) {
  auto lower = [](std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  };
  for (const auto& [key, value] : req.query) {
    for (std::string_view name : known) {
      if (key != name && lower(key) == lower(name))
        return SimResponse::error(400, "Unknown query parameter '" + key + "' (did you mean '" +
                                           std::string(name) + "'?)");
    }
  }
  return std::nullopt;
}

SimResponse new_stop_order(SimRequest& req, SimContext& ctx) {
  SimResponse error;
  auto body = parse_json_object(req, error);
  if (!body) return error;
  if (auto refused = unknown_key(*body, {"refOrderID", "accountID", "symbol", "orderSide",
                                         "stopPrice", "qty", "limitPrice"}))
    return *refused;
  SimStopOrder stop;
  if (auto problem = read_stop_order(*body, stop); !problem.empty())
    return SimResponse::error(400, problem);
  return from_result(ctx.exchange.place_stop_order(std::move(stop)));
}

SimResponse new_bracket_order(SimRequest& req, SimContext& ctx) {
  SimResponse error;
  auto body = parse_json_object(req, error);
  if (!body) return error;
  if (auto refused = unknown_key(
          *body, {"symbol", "side", "account", "quantity", "orderType", "conditionPrice",
                  "conditionType", "takeProfitPrice", "stopLossPrice"}))
    return *refused;
  SimBracketOrder bracket;
  if (auto problem = read_bracket_order(*body, bracket); !problem.empty())
    return SimResponse::error(400, problem);
  return from_result(ctx.exchange.place_bracket_order(std::move(bracket)));
}

// Reads the query filters; false (error set) on a malformed time.
bool read_filter(const SimRequest& req, Exchange::OrderFilter& filter, SimResponse& error) {
  if (auto refused =
          miscased_query(req, {"accountId", "startTime", "endTime", "symbol", "status"})) {
    error = *refused;
    return false;
  }
  auto text = [&](const char* name, std::optional<std::string>& out) {
    if (auto v = req.query_param(name); v && !v->empty()) out = std::string(*v);
  };
  auto time = [&](const char* name, std::optional<std::int64_t>& out) {
    auto v = req.query_param(name);
    if (!v || v->empty()) return true;
    out = integer_text(*v);
    if (!out) {
      error = SimResponse::error(400, std::string("Invalid ") + name + " '" + std::string(*v) +
                                          "': expected epoch milliseconds");
      return false;
    }
    return true;
  };
  text("accountId", filter.account_id);
  text("symbol", filter.symbol);
  text("status", filter.status);
  return time("startTime", filter.start_time) && time("endTime", filter.end_time);
}

SimResponse data(json::array items) {
  return SimResponse::json(200, json::object{{"data", items}});
}

}  // namespace

void install_rest_api(RouteTable& routes) {
  routes.add("GET", "/GetOhlcvHis/{symbol}/{rest...}", candles, false,
             "candle history (micro API)");
  routes.add("GET", "/api/v1/MarketData/GetProductMaster/{symbol}", product_master, true,
             "product master");
  routes.add("GET", "/api/v1/diagnostics/margin-ratios/{symbol}", margin_ratio, true,
             "margin ratio");
  routes.add("POST", "/api/v1/orders/new/{ref}/{account}/{symbol}/{side}/{price}/{qty}/{type}",
             new_order, true, "place an order");
  routes.add("POST", "/api/v1/orders/cancel/{id}", cancel_order, true, "cancel an order");
  routes.add("POST", "/api/v1/stop-orders", new_stop_order, true, "place a stop order");
  routes.add("POST", "/api/v1/orders/bracket-order", new_bracket_order, true,
             "place a bracket order");
  routes.add(
      "GET", "/api/v1/orders",
      [](SimRequest& req, SimContext& ctx) {
        Exchange::OrderFilter filter;
        SimResponse error;
        if (!read_filter(req, filter, error)) return error;
        return data(ctx.exchange.orders(filter));
      },
      true, "list orders");
  routes.add(
      "GET", "/api/v1/execution-reports",
      [](SimRequest& req, SimContext& ctx) {
        Exchange::OrderFilter filter;
        SimResponse error;
        if (!read_filter(req, filter, error)) return error;
        return data(ctx.exchange.execution_reports());
      },
      true, "list execution reports");
  routes.add(
      "GET", "/api/v1/trades",
      [](SimRequest& req, SimContext& ctx) {
        Exchange::OrderFilter filter;
        SimResponse error;
        if (!read_filter(req, filter, error)) return error;
        filter.symbol.reset();
        filter.status.reset();
        return data(ctx.exchange.trades(filter));
      },
      true, "list trades");
  routes.add(
      "GET", "/api/v1/stop-orders",
      [](SimRequest& req, SimContext& ctx) {
        Exchange::OrderFilter filter;
        SimResponse error;
        if (!read_filter(req, filter, error)) return error;
        return data(ctx.exchange.stop_orders(filter.account_id));
      },
      true, "list stop orders");
  routes.add(
      "GET", "/api/v1/bracket-orders",
      [](SimRequest& req, SimContext& ctx) {
        Exchange::OrderFilter filter;
        SimResponse error;
        if (!read_filter(req, filter, error)) return error;
        return data(ctx.exchange.bracket_orders(filter.account_id));
      },
      true, "list bracket orders");
  routes.add(
      "GET", "/api/v1/accounts",
      [](SimRequest&, SimContext& ctx) { return data(ctx.exchange.accounts()); }, true,
      "list accounts");
}

}  // namespace tolbu_sim

// The streaming side installed into tolbu-sim: the hub on the HTTP server's port, the
// exchange's events published to it, the algorithm channels derived from the order events,
// and the "/_sim/streaming/..." test endpoints.

#include "streaming/extension.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/json.hpp>

#include <charconv>
#include <chrono>
#include <cmath>
#include <string>

#include "market/exchange.hpp"
#include "tolbu_sdk/config.hpp"

namespace tolbu_sim {

namespace json = boost::json;
using streaming::Hub;

namespace {

SimResponse ok(json::object extra = {}) {
  json::object body{{"status", "ok"}};
  for (auto& [k, v] : extra) body[k] = v;
  return SimResponse::json(200, body);
}

std::optional<std::string> text_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  if (!v || !v->is_string()) return std::nullopt;
  return std::string(v->get_string());
}

std::optional<std::int64_t> int_at(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  if (!v) return std::nullopt;
  if (v->is_int64()) return v->get_int64();
  if (v->is_uint64()) return static_cast<std::int64_t>(v->get_uint64());
  if (v->is_double() && std::floor(v->get_double()) == v->get_double())
    return static_cast<std::int64_t>(v->get_double());
  return std::nullopt;
}

std::optional<std::string> from_hex(std::string_view hex) {
  if (hex.size() % 2) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    unsigned byte = 0;
    auto [ptr, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, byte, 16);
    if (ec != std::errc() || ptr != hex.data() + i + 2) return std::nullopt;
    out.push_back(static_cast<char>(byte));
  }
  return out;
}

std::int64_t now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A candle of the series: "open" counts the publications, "volume" carries the publish time
// in microseconds so that a subscriber can measure publish-to-callback latency.
std::string series_candle(std::uint64_t seq) {
  const auto us = now_us();
  const double open = 100.0 + static_cast<double>(seq % 1000) / 10.0;
  std::string out;
  out.reserve(192);
  auto text = [&](std::string_view part) { out += part; };
  auto number = [&](auto v) {
    char digits[40];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
  };
  // Written by hand: series run at hundreds of thousands per second.
  text(R"({"time":)");
  number(us / 1000);
  text(R"(,"open":)");
  number(open);
  text(R"(,"high":)");
  number(open + 0.5);
  text(R"(,"low":)");
  number(open - 0.5);
  text(R"(,"close":)");
  number(open + 0.1);
  text(R"(,"volume":)");
  number(static_cast<double>(us));
  text(R"(,"seq":)");
  number(seq);
  text("}");
  return out;
}

// The account's summary, positions and the changed order on the algorithm channels.
void publish_algo(Hub& hub, Exchange& exchange, std::string_view account,
                  const json::value& order) {
  using tolbu_sdk::Channels;
  using tolbu_sdk::DataTypes;
  auto channel = [&](const char* type) {
    return std::string(Channels::ALGO) + ":" + type + ":" + std::string(account);
  };
  const auto order_ch = channel(DataTypes::ALGO_ORDER);
  const auto master_ch = channel(DataTypes::ALGO_MASTER);
  const auto position_ch = channel(DataTypes::ALGO_POSITION);
  if (hub.has_subscribers(order_ch)) hub.publish(order_ch, order);
  if (!hub.has_subscribers(master_ch) && !hub.has_subscribers(position_ch)) return;
  for (auto& a : exchange.accounts()) {
    auto& acct = a.as_object();
    if (text_at(acct, "accountId").value_or("") != account) continue;
    if (hub.has_subscribers(master_ch)) hub.publish(master_ch, acct);
    if (hub.has_subscribers(position_ch)) {
      const auto* positions = acct.if_contains("positions");
      hub.publish(position_ch, json::object{{"accountId", std::string(account)},
                                            {"positions", positions ? *positions : json::array{}}});
    }
  }
}

void install_routes(SimContext& ctx) {
  auto& routes = ctx.routes;
  routes.add("POST", "/_sim/streaming/publish", [](SimRequest& req, SimContext& c) {
    SimResponse error;
    auto body = parse_json_object(req, error);
    if (!body) return error;
    auto channel = text_at(*body, "channel");
    if (!channel || channel->empty() || !body->contains("data"))
      return SimResponse::error(
          400, "Expected {\"channel\": TEXT, \"data\": ANY[, \"withhold\": BOOL]}");
    auto hub = streaming_hub(c);
    if (const auto* w = body->if_contains("withhold"); w && w->is_bool() && w->get_bool()) {
      hub->publish_withheld(*channel, body->at("data"));  // a hole for the subscribers
      return ok({{"delivered", 0}});
    }
    return ok({{"delivered", hub->publish(*channel, body->at("data"))}});
  });
  routes.add("POST", "/_sim/streaming/raw", [](SimRequest& req, SimContext& c) {
    SimResponse error;
    auto body = parse_json_object(req, error);
    if (!body) return error;
    auto frame = text_at(*body, "frame");
    if (auto hex = text_at(*body, "frame_hex")) {
      // Bytes that JSON text cannot carry, invalid UTF-8 among them.
      frame = from_hex(*hex);
    }
    if (!frame)
      return SimResponse::error(
          400, "Expected {\"frame\": TEXT or \"frame_hex\": HEX[, \"channel\": TEXT]}");
    return ok({{"sent", streaming_hub(c)->send_raw(*frame, text_at(*body, "channel"))}});
  });
  routes.add("POST", "/_sim/streaming/drop", [](SimRequest& req, SimContext& c) {
    SimResponse error;
    auto body = parse_json_object(req, error);
    if (!body) return error;
    std::optional<std::uint16_t> code;
    if (auto n = int_at(*body, "code")) {
      if (*n < 1000 || *n > 4999) return SimResponse::error(400, "\"code\" must be 1000-4999");
      code = static_cast<std::uint16_t>(*n);
    }
    auto reason = text_at(*body, "reason").value_or("shutdown");
    return ok({{"dropped", streaming_hub(c)->drop_all(code, reason)}});
  });
  routes.add("POST", "/_sim/streaming/unsubscribe", [](SimRequest& req, SimContext& c) {
    SimResponse error;
    auto body = parse_json_object(req, error);
    if (!body) return error;
    auto channel = text_at(*body, "channel");
    if (!channel) return SimResponse::error(400, "Expected {\"channel\": TEXT[, \"code\": N]}");
    const auto code = static_cast<std::uint32_t>(int_at(*body, "code").value_or(2000));
    auto reason = text_at(*body, "reason").value_or("server unsubscribe");
    return ok({{"unsubscribed", streaming_hub(c)->unsubscribe_all(*channel, code, reason)}});
  });
  routes.add("POST", "/_sim/streaming/server-subscribe", [](SimRequest& req, SimContext& c) {
    SimResponse error;
    auto body = parse_json_object(req, error);
    if (!body) return error;
    auto channel = text_at(*body, "channel");
    if (!channel || channel->empty())
      return SimResponse::error(400, "Expected {\"channel\": TEXT}");
    return ok({{"subscribed", streaming_hub(c)->server_subscribe(*channel)}});
  });
  routes.add("POST", "/_sim/streaming/restart", [](SimRequest&, SimContext& c) {
    return ok({{"dropped", streaming_hub(c)->restart()}});
  });
  routes.add("POST", "/_sim/streaming/token", [](SimRequest& req, SimContext& c) {
    SimResponse error;
    auto body = parse_json_object(req, error);
    if (!body) return error;
    auto hub = streaming_hub(c);
    auto ttl = std::chrono::duration_cast<std::chrono::milliseconds>(hub->options().token_ttl);
    if (auto ms = int_at(*body, "ttl_ms")) ttl = std::chrono::milliseconds(*ms);
    if (ttl.count() <= 0) return SimResponse::error(400, "\"ttl_ms\" must be positive");
    return ok({{"token", hub->mint_token(ttl)}, {"ttl_ms", ttl.count()}});
  });
  routes.add("POST", "/_sim/streaming/series", [](SimRequest& req, SimContext& c) {
    SimResponse error;
    auto body = parse_json_object(req, error);
    if (!body) return error;
    auto channel = text_at(*body, "channel");
    auto count = int_at(*body, "count");
    const auto* rate = body->if_contains("rate");
    if (!channel || channel->empty() || !count || *count <= 0 || (rate && !rate->is_number()))
      return SimResponse::error(
          400,
          "Expected {\"channel\": TEXT, \"count\": N, \"rate\": PER_SECOND (0: no limit), "
          "\"data\": ANY (else candles)}");
    streaming::Series series;
    series.channel = *channel;
    series.count = static_cast<std::uint64_t>(*count);
    series.rate = rate ? rate->to_number<double>() : 0.0;
    if (const auto* data = body->if_contains("data")) {
      series.make = [text = json::serialize(*data)](std::uint64_t) { return text; };
    } else {
      series.make = series_candle;
    }
    return ok({{"series", streaming_hub(c)->start_series(std::move(series))}});
  });
  routes.add("GET", "/_sim/streaming/stats", [](SimRequest&, SimContext& c) {
    return SimResponse::json(200, streaming_hub(c)->stats().to_json());
  });
  routes.add("POST", "/_sim/streaming/config", [](SimRequest& req, SimContext& c) {
    SimResponse error;
    auto body = parse_json_object(req, error);
    if (!body) return error;
    auto& options = streaming_hub(c)->options();
    if (auto ms = int_at(*body, "ping_interval_ms")) {
      if (*ms < 100) return SimResponse::error(400, "\"ping_interval_ms\" must be at least 100");
      options.ping_interval = std::chrono::milliseconds(*ms);
    }
    if (const auto* pings = body->if_contains("pings"); pings && pings->is_bool())
      options.pings = pings->get_bool();
    if (const auto* replies = body->if_contains("replies"); replies && replies->is_bool())
      options.replies = replies->get_bool();
    if (const auto* deny = body->if_contains("deny_prefixes"); deny && deny->is_array()) {
      options.deny_prefixes.clear();
      for (const auto& p : deny->get_array())
        if (p.is_string()) options.deny_prefixes.emplace_back(p.get_string());
    }
    if (const auto* late = body->if_contains("late_server_subs"); late && late->is_array()) {
      options.late_server_subs.clear();
      for (const auto& ch : late->get_array())
        if (ch.is_string()) options.late_server_subs.emplace_back(ch.get_string());
    }
    if (auto n = int_at(*body, "max_pending_bytes"); n && *n > 0)
      options.max_pending_bytes = static_cast<std::size_t>(*n);
    if (auto n = int_at(*body, "history_size"); n && *n >= 0)
      options.history_size = static_cast<std::size_t>(*n);
    if (auto ms = int_at(*body, "history_ttl_ms"); ms && *ms > 0)
      options.history_ttl = std::chrono::milliseconds(*ms);
    if (auto ms = int_at(*body, "token_ttl_ms"); ms && *ms >= 0)
      options.token_ttl = std::chrono::milliseconds(*ms);
    json::array deny;
    for (const auto& p : options.deny_prefixes) deny.emplace_back(p);
    return ok({{"ping_interval_ms", options.ping_interval.count()},
               {"pings", options.pings},
               {"replies", options.replies},
               {"deny_prefixes", std::move(deny)},
               {"max_pending_bytes", options.max_pending_bytes},
               {"history_size", options.history_size},
               {"history_ttl_ms", options.history_ttl.count()},
               {"token_ttl_ms", options.token_ttl.count()}});
  });
}

void install(SimContext& ctx) {
  streaming::HubOptions options;
  options.token = ctx.options.jwt;
  options.quiet = ctx.options.quiet;
  options.history_size = ctx.options.history_size;
  options.history_ttl = std::chrono::seconds(ctx.options.history_ttl_s);
  options.token_ttl = std::chrono::seconds(ctx.options.token_ttl_s);
  options.server_subs = ctx.options.server_subs;
  options.max_pending_bytes = ctx.options.client_backlog;
  auto hub = Hub::create(ctx.io.get_executor(), std::move(options));
  ctx.streaming_hub = hub;
  std::weak_ptr<Hub> weak = hub;
  Exchange* exchange = &ctx.exchange;
  const std::string order_prefix = std::string(tolbu_sdk::Channels::ORDER) + ":" +
                                   tolbu_sdk::DataTypes::ORDER_EXECUTION_REPORT + ":";
  ctx.exchange.subscribe(
      [weak, exchange, order_prefix](std::string_view channel, const json::value& payload) {
        auto h = weak.lock();
        if (!h) return;
        h->publish(channel, payload);
        if (channel.starts_with(order_prefix)) {
          publish_algo(*h, *exchange, channel.substr(order_prefix.size()), payload);
        }
      });
  install_routes(ctx);
}

SimExtension extension{"streaming", install};

}  // namespace

std::shared_ptr<Hub> streaming_hub(SimContext& context) {
  return std::static_pointer_cast<Hub>(context.streaming_hub);
}

void accept_websocket(boost::beast::tcp_stream&& stream,
                      boost::beast::http::request<boost::beast::http::string_body>&& request,
                      SimContext& context) {
  auto hub = streaming_hub(context);
  if (!hub) {
    boost::beast::error_code ec;
    stream.socket().close(ec);
    return;
  }
  hub->accept(std::move(stream), std::move(request));
}

}  // namespace tolbu_sim

// Endpoints for tests and scripts: the request journal, scripted faults, the market clock and
// prices. Never journaled, never faulted, never authenticated.

#include "test_api/test_api.hpp"
#include "market/exchange.hpp"
#include "server/context.hpp"

namespace tolbu_sim {

namespace json = boost::json;

namespace {

SimResponse ok(json::object extra = {}) {
  json::object body{{"status", "ok"}};
  for (auto& [k, v] : extra) body[k] = v;
  return SimResponse::json(200, body);
}

SimResponse clock_state(SimContext& ctx) {
  return SimResponse::json(
      200, json::object{{"time_ms", ctx.exchange.now_ms()}, {"speed", ctx.exchange.speed()}});
}

}  // namespace

void install_test_api(RouteTable& routes) {
  routes.add("GET", "/_sim/health", [](SimRequest&, SimContext& ctx) {
    return ok({{"port", ctx.port}});
  });
  routes.add("GET", "/_sim/journal", [](SimRequest& req, SimContext& ctx) {
    std::string_view prefix = req.query_param("path_prefix").value_or("");
    return SimResponse::json(200, json::object{{"requests", ctx.journal.entries(prefix)}});
  });
  routes.add("DELETE", "/_sim/journal", [](SimRequest&, SimContext& ctx) {
    ctx.journal.clear();
    return ok();
  });
  routes.add("POST", "/_sim/faults", [](SimRequest& req, SimContext& ctx) {
    SimResponse error;
    auto body = parse_json_object(req, error);
    if (!body) return error;
    std::string message;
    auto fault = Fault::from_json(*body, message);
    if (!fault) return SimResponse::error(400, message);
    ctx.faults.add(std::move(*fault));
    return ok({{"pending", ctx.faults.pending().size()}});
  });
  routes.add("GET", "/_sim/faults", [](SimRequest&, SimContext& ctx) {
    return SimResponse::json(200, json::object{{"faults", ctx.faults.pending()}});
  });
  routes.add("DELETE", "/_sim/faults", [](SimRequest&, SimContext& ctx) {
    ctx.faults.clear();
    return ok();
  });
  routes.add("POST", "/_sim/price", [](SimRequest& req, SimContext& ctx) {
    SimResponse error;
    auto body = parse_json_object(req, error);
    if (!body) return error;
    auto* symbol = body->if_contains("symbol");
    auto* price = body->if_contains("price");
    if (!symbol || !symbol->is_string() || !price || !price->is_number())
      return SimResponse::error(400, "Expected {\"symbol\": TEXT, \"price\": NUMBER}");
    std::string message;
    if (!ctx.exchange.set_price(symbol->as_string(), price->to_number<double>(), message))
      return SimResponse::error(400, message);
    return ok({{"time_ms", ctx.exchange.now_ms()}});
  });
  routes.add("GET", "/_sim/clock", [](SimRequest&, SimContext& ctx) { return clock_state(ctx); });
  routes.add("POST", "/_sim/clock", [](SimRequest& req, SimContext& ctx) {
    SimResponse error;
    auto body = parse_json_object(req, error);
    if (!body) return error;
    if (auto* advance = body->if_contains("advance_ms"); advance && advance->is_int64()) {
      ctx.exchange.advance(advance->as_int64());
    } else if (auto* time = body->if_contains("time_ms"); time && time->is_int64()) {
      ctx.exchange.set_time(time->as_int64());
    } else {
      return SimResponse::error(400, "Expected {\"advance_ms\": N} or {\"time_ms\": N}");
    }
    ctx.exchange.tick();
    return clock_state(ctx);
  });
  routes.add("POST", "/_sim/tick", [](SimRequest&, SimContext& ctx) {
    ctx.exchange.tick();
    return clock_state(ctx);
  });
  routes.add("POST", "/_sim/reset", [](SimRequest&, SimContext& ctx) {
    ctx.exchange.reset();
    return ok();
  });
}

}  // namespace tolbu_sim

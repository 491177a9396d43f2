#include "rest/layouts.hpp"

#include <cmath>
#include <cstdlib>

#include "market/clock.hpp"

namespace tolbu_sim::layouts {

namespace json = boost::json;

double round_to(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

json::object order(const SimOrder& o) {
  return json::object{{"orderID", o.order_id},     {"refOrderID", o.ref_order_id},
                      {"accountID", o.account_id}, {"symbol", o.symbol},
                      {"side", o.side},            {"orderType", o.order_type},
                      {"price", o.price},          {"qty", o.qty},
                      {"filledQty", o.filled_qty}, {"avgPrice", o.avg_price},
                      {"status", o.status},        {"createdTime", o.created_time},
                      {"updatedTime", o.updated_time}, {"message", o.message},
                      {"fee", o.fee}};
}

json::object trade(const SimTrade& t) {
  return json::object{{"tradeID", t.trade_id}, {"orderID", t.order_id}, {"accountID", t.account_id},
                      {"symbol", t.symbol},    {"side", t.side},        {"price", t.price},
                      {"qty", t.qty},          {"fee", t.fee},          {"tradeTime", t.trade_time}};
}

json::object stop_order(const SimStopOrder& s) {
  json::object out{{"orderID", s.order_id}, {"refOrderID", s.ref_order_id},
                   {"accountID", s.account_id}, {"symbol", s.symbol},
                   {"orderSide", s.side},   {"stopPrice", s.stop_price},
                   {"qty", s.qty}};
  out["limitPrice"] = s.limit_price ? json::value(*s.limit_price) : json::value(nullptr);
  out["status"] = s.status;
  out["triggeredOrderID"] = s.triggered_order_id;
  out["createdTime"] = s.created_time;
  out["updatedTime"] = s.updated_time;
  return out;
}

json::object bracket_order(const SimBracketOrder& b) {
  return json::object{{"orderID", b.order_id},
                      {"symbol", b.symbol},
                      {"side", b.side},
                      {"account", b.account_id},
                      {"quantity", b.quantity},
                      {"orderType", b.order_type},
                      {"conditionPrice", b.condition_price},
                      {"conditionType", b.condition_type},
                      {"takeProfitPrice", b.take_profit_price},
                      {"stopLossPrice", b.stop_loss_price},
                      {"status", b.status},
                      {"entryOrderID", b.entry_order_id},
                      {"exitOrderID", b.exit_order_id},
                      {"createdTime", b.created_time},
                      {"updatedTime", b.updated_time}};
}

json::object product_info(Market& market, const Instrument& in, std::int64_t at_ms) {
  const std::int64_t day = floor_to(at_ms, 86'400'000);
  const double reference = market.price(in.symbol, day - 1);
  const double ceiling = std::floor(reference * 1.07 / in.tick_size) * in.tick_size;
  const double floor = std::ceil(reference * 0.93 / in.tick_size) * in.tick_size;
  return json::object{{"symbol", in.symbol},
                      {"name", in.name},
                      {"exchange", in.exchange},
                      {"productType", in.product_type},
                      {"tickSize", in.tick_size},
                      {"lotSize", in.lot_size},
                      {"currency", in.currency},
                      {"ceilingPrice", round_to(ceiling, 6)},
                      {"floorPrice", round_to(floor, 6)},
                      {"referencePrice", reference}};
}

json::object product_master(Market& market, const Instrument& in, std::int64_t at_ms) {
  return json::object{{"symbol", in.symbol},
                      {"name", in.name},
                      {"exchange", in.exchange},
                      {"productType", in.product_type},
                      {"info", product_info(market, in, at_ms)}};
}

json::array accounts(const Accounts& all, Market& market, std::int64_t now_ms) {
  json::array out;
  for (const auto& [id, acct] : all.all()) {
    double equity = acct.cash, unrealized = 0, realized = 0, margin = 0;
    json::array positions;
    for (const auto& [symbol, pos] : acct.positions) {
      const double last = market.price(symbol, now_ms);
      const Instrument& in = market.instrument(symbol);
      equity += static_cast<double>(pos.qty) * last;
      const double upnl = static_cast<double>(pos.qty) * (last - pos.avg_price);
      unrealized += upnl;
      realized += pos.realized_pnl;
      margin += std::abs(static_cast<double>(pos.qty)) * last * in.margin_ratio;
      positions.push_back(json::object{{"symbol", symbol},
                                       {"qty", pos.qty},
                                       {"avgPrice", pos.avg_price},
                                       {"marketPrice", last},
                                       {"unrealizedPnl", round_to(upnl, 2)},
                                       {"realizedPnl", round_to(pos.realized_pnl, 2)}});
    }
    out.push_back(json::object{{"id", id},
                               {"accountId", id},
                               {"accountName", "Simulated account " + id},
                               {"totalEquity", round_to(equity, 2)},
                               {"cash", round_to(acct.cash, 2)},
                               // Cash plus open positions at the market: what margin draws on.
                               {"equity", round_to(equity, 2)},
                               {"credit", 0.0},
                               {"maintenanceMargin", round_to(margin, 2)},
                               {"tempMaintenanceMargin", 0.0},
                               {"totalRealizedPnl", round_to(realized, 2)},
                               {"totalUnrealizedPnl", round_to(unrealized, 2)},
                               {"tradingPower", round_to(equity - margin, 2)},
                               {"crossMargin", false},
                               {"positions", std::move(positions)}});
  }
  return out;
}

}  // namespace tolbu_sim::layouts

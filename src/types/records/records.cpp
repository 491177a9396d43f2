#include "tolbu_sdk/types/records.hpp"

#include <fmt/format.h>
#include <boost/json.hpp>

#include "../../platform/common/json_fields.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/json.hpp"

namespace tolbu_sdk::types {

namespace json = boost::json;
using platform::JsonFields;

namespace {

DepthLevel level_from(const json::value& data, std::string where) {
  JsonFields f(data, std::move(where));
  return {f.number("price"), f.number("qty")};
}

ProductInfo info_from(const json::value& data, std::string where) {
  JsonFields f(data, std::move(where));
  ProductInfo p;
  p.symbol = f.text("symbol");
  p.name = f.text_or("name", "");
  p.exchange = f.text_or("exchange", "");
  p.product_type = f.text_or("productType", "");
  p.tick_size = f.number("tickSize");
  p.lot_size = f.int32("lotSize");
  p.currency = f.text_or("currency", "VND");
  p.ceiling_price = f.number_or("ceilingPrice", 0.0);
  p.floor_price = f.number_or("floorPrice", 0.0);
  p.reference_price = f.number_or("referencePrice", 0.0);
  return p;
}

std::vector<DepthLevel> levels(const JsonFields& f, std::string_view key) {
  std::vector<DepthLevel> out;
  const json::value* v = f.optional(key);
  if (v == nullptr) return out;
  const json::array* arr = v->if_array();
  if (arr == nullptr) f.wrong_type(key, "an array", *v);
  out.reserve(arr->size());
  for (std::size_t i = 0; i < arr->size(); ++i) {
    out.push_back(level_from((*arr)[i], fmt::format("{}.{}[{}]", f.where(), key, i)));
  }
  return out;
}

json::array levels_json(const std::vector<DepthLevel>& side) {
  json::array out;
  out.reserve(side.size());
  for (const DepthLevel& l : side) out.push_back(l.to_json());
  return out;
}

}  // namespace

Candle Candle::from_dict(const json::value& data) {
  JsonFields f(data, "Candle");
  return {f.integer("time"), f.number("open"),  f.number("high"),
          f.number("low"),   f.number("close"), f.number_or("volume", 0.0)};
}

json::object Candle::to_json() const {
  return {{"time", time}, {"open", open},   {"high", high},
          {"low", low},   {"close", close}, {"volume", volume}};
}

DepthLevel DepthLevel::from_dict(const json::value& data) { return level_from(data, "DepthLevel"); }

json::object DepthLevel::to_json() const { return {{"price", price}, {"qty", qty}}; }

Depth Depth::from_dict(const json::value& data) {
  JsonFields f(data, "Depth");
  Depth d;
  d.symbol = f.text("symbol");
  d.time = f.integer_or("time", 0);
  d.bid_price_depth = levels(f, "bidPriceDepth");
  d.ask_price_depth = levels(f, "askPriceDepth");
  return d;
}

json::object Depth::to_json() const {
  return {{"symbol", symbol},
          {"time", time},
          {"bidPriceDepth", levels_json(bid_price_depth)},
          {"askPriceDepth", levels_json(ask_price_depth)}};
}

ProductInfo ProductInfo::from_dict(const json::value& data) {
  return info_from(data, "ProductInfo");
}

json::object ProductInfo::to_json() const {
  return {{"symbol", symbol},          {"name", name},
          {"exchange", exchange},      {"productType", product_type},
          {"tickSize", tick_size},     {"lotSize", lot_size},
          {"currency", currency},      {"ceilingPrice", ceiling_price},
          {"floorPrice", floor_price}, {"referencePrice", reference_price}};
}

ProductStat ProductStat::from_dict(const json::value& data) {
  JsonFields f(data, "ProductStat");
  ProductStat s;
  s.symbol = f.text("symbol");
  s.time = f.integer_or("time", 0);
  s.last_price = f.number("lastPrice");
  s.bid_price = f.number("bidPrice");
  s.ask_price = f.number("askPrice");
  s.total_traded_qty = f.number("totalTradedQty");
  s.open_price = f.number("openPrice");
  s.high_price = f.number("highPrice");
  s.low_price = f.number("lowPrice");
  s.close_price = f.number("closePrice");
  s.change = f.number("change");
  s.change_pct = f.number("changePct");
  return s;
}

json::object ProductStat::to_json() const {
  return {{"symbol", symbol},        {"time", time},
          {"lastPrice", last_price}, {"bidPrice", bid_price},
          {"askPrice", ask_price},   {"totalTradedQty", total_traded_qty},
          {"openPrice", open_price}, {"highPrice", high_price},
          {"lowPrice", low_price},   {"closePrice", close_price},
          {"change", change},        {"changePct", change_pct}};
}

ProductMaster ProductMaster::from_dict(const json::value& data) {
  JsonFields f(data, "ProductMaster");
  ProductMaster m;
  m.symbol = f.text("symbol");
  m.name = f.text_or("name", "");
  m.exchange = f.text_or("exchange", "");
  m.product_type = f.text_or("productType", "");
  if (const json::value* info = f.optional("info")) {
    if (!info->is_object()) f.wrong_type("info", "an object", *info);
    if (!info->get_object().empty()) m.info = info_from(*info, "ProductMaster.info");
  }
  return m;
}

json::object ProductMaster::to_json() const {
  json::object o{
      {"symbol", symbol}, {"name", name}, {"exchange", exchange}, {"productType", product_type}};
  o["info"] = info ? json::value(info->to_json()) : json::value(nullptr);
  return o;
}

OrderData OrderData::from_dict(const json::value& data) {
  JsonFields f(data, "OrderData");
  OrderData o;
  o.order_id = f.id("orderID");
  o.ref_order_id = f.id_or("refOrderID", "");
  o.account_id = f.id_or("accountID", "");
  o.symbol = f.text("symbol");
  o.side = f.text("side");
  o.order_type = f.text_or("orderType", "");
  o.price = f.number("price");
  o.qty = f.integer("qty");
  o.filled_qty = f.integer_or("filledQty", 0);
  o.avg_price = f.number_or("avgPrice", 0.0);
  o.status = f.text("status");
  o.created_time = f.integer_or("createdTime", 0);
  o.updated_time = f.integer_or("updatedTime", 0);
  o.message = f.text_or("message", "");
  return o;
}

json::object OrderData::to_json() const {
  return {{"orderID", order_id},
          {"refOrderID", ref_order_id},
          {"accountID", account_id},
          {"symbol", symbol},
          {"side", side},
          {"orderType", order_type},
          {"price", price},
          {"qty", qty},
          {"filledQty", filled_qty},
          {"avgPrice", avg_price},
          {"status", status},
          {"createdTime", created_time},
          {"updatedTime", updated_time},
          {"message", message}};
}

Trade Trade::from_dict(const json::value& data) {
  JsonFields f(data, "Trade");
  Trade t;
  t.trade_id = f.id("tradeID");
  t.order_id = f.id("orderID");
  t.account_id = f.id_or("accountID", "");
  t.symbol = f.text("symbol");
  t.side = f.text("side");
  t.price = f.number("price");
  t.qty = f.integer("qty");
  t.fee = f.number_or("fee", 0.0);
  t.trade_time = f.integer("tradeTime");
  return t;
}

json::object Trade::to_json() const {
  return {{"tradeID", trade_id}, {"orderID", order_id}, {"accountID", account_id},
          {"symbol", symbol},    {"side", side},        {"price", price},
          {"qty", qty},          {"fee", fee},          {"tradeTime", trade_time}};
}

OrderResponse OrderResponse::from_dict(const json::value& data) {
  OrderResponse r;
  if (data.is_null()) {
    r.message = "Empty response";
    return r;
  }
  JsonFields f(data, "OrderResponse");
  const json::value* status = f.optional("status");
  if (status != nullptr) {
    const std::int64_t code = f.integer("status");
    if (code < 0 || code > 999) f.bad_value("status", "is not a status code");
    r.status = static_cast<int>(code);
    r.success = r.status >= 200 && r.status < 300;
  } else {
    // The order service's error object always carries a status; an answer without one is
    // the back end's own success answer.
    r.success = true;
  }
  if (const json::value* m = f.optional("message"))
    r.message = m->is_string() ? std::string(m->get_string()) : platform::to_json_text(*m);
  if (const json::value* d = f.optional("data")) r.data = *d;
  // Ids live in the order object under "data", or at the top of a flat answer.
  if (r.data->is_object()) {
    JsonFields d(*r.data, "OrderResponse.data");
    r.order_id = d.id_or("orderID", "");
    r.ref_order_id = d.id_or("refOrderID", "");
  }
  if (r.order_id.empty()) r.order_id = f.id_or("orderID", "");
  if (r.ref_order_id.empty()) r.ref_order_id = f.id_or("refOrderID", "");
  return r;
}

OrderResponse OrderResponse::from_dict(const json::object& data) {
  return from_dict(json::value(data));
}

OrderResponse OrderResponse::from_dict(const std::optional<json::object>& data) {
  if (!data) return from_dict(json::value(nullptr));
  return from_dict(*data);
}

json::object OrderResponse::to_json() const {
  json::object o{{"status", status}, {"message", message}, {"data", *data}};
  if (!data->is_object() && !order_id.empty()) o["orderID"] = order_id;
  if (!data->is_object() && !ref_order_id.empty()) o["refOrderID"] = ref_order_id;
  return o;
}

}  // namespace tolbu_sdk::types

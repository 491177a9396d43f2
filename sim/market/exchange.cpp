#include "market/exchange.hpp"

#include "tolbu_sdk/config.hpp"
#include "tolbu_sdk/platform/number_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tolbu_sim {

namespace json = boost::json;
using tolbu_sdk::Channels;
using tolbu_sdk::DataTypes;

namespace {

constexpr double kInitialCash = 10'000'000'000.0;
constexpr double kFeeRate = 0.001;  // 0.1 % of the traded value
constexpr int kDepthLevels = 5;

std::int64_t floor_to(std::int64_t ms, std::int64_t length) {
  std::int64_t q = ms / length;
  if (ms % length != 0 && ms < 0) --q;
  return q * length;
}

std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

double round_to(double value, int decimals) {
  double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

std::optional<double> parse_decimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::string copy(text);
  char* end = nullptr;
  double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<std::int64_t> parse_integer(std::string_view text) {
  std::int64_t value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// On the grid means exactly the double of a whole number of ticks written in decimal, as a
// real back end reads the decimal text: 1262.3 is, the residue 1262.3000000000002 is not.
bool on_grid(double price, double tick) {
  double ticks = std::round(price / tick);
  if (std::abs(price / tick - ticks) > 1e-6) return false;
  std::string tick_text = tolbu_sdk::platform::number_text(tick);
  auto point = tick_text.find('.');
  int decimals = tick_text.find('e') != std::string::npos ? 12
                 : point == std::string::npos             ? 0
                                              : static_cast<int>(tick_text.size() - point - 1);
  return round_to(ticks * tick, decimals) == price;
}

ExchangeResult rejection(int status, std::string message) {
  return ExchangeResult{status, json::object{{"error", std::move(message)}}};
}

ExchangeResult accepted(std::string message, json::object data) {
  return ExchangeResult{
      200,
      json::object{{"status", 200}, {"message", std::move(message)}, {"data", std::move(data)}}};
}

std::string number_text(double v) {
  char buffer[64];
  auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
  return std::string(buffer, ptr);
}

// Body field readers: a message names the field when it is missing or of the wrong kind.
struct BodyReader {
  const json::object& body;
  std::string error;

  const json::value* get(std::string_view key, bool required) {
    auto* v = body.if_contains(key);
    if ((!v || v->is_null()) && required && error.empty())
      error = "Missing field \"" + std::string(key) + "\"";
    return v && !v->is_null() ? v : nullptr;
  }
  std::string text(std::string_view key, bool required = true) {
    auto* v = get(key, required);
    if (!v) return {};
    if (!v->is_string()) {
      if (error.empty()) error = "Field \"" + std::string(key) + "\" must be a string";
      return {};
    }
    return std::string(v->as_string());
  }
  std::optional<double> number(std::string_view key, bool required = true) {
    auto* v = get(key, required);
    if (!v) return std::nullopt;
    if (!v->is_number()) {
      if (error.empty()) error = "Field \"" + std::string(key) + "\" must be a number";
      return std::nullopt;
    }
    return v->to_number<double>();
  }
  std::optional<std::int64_t> integer(std::string_view key) {
    auto* v = get(key, true);
    if (!v) return std::nullopt;
    if (auto* i = v->if_int64()) return *i;
    if (auto* u = v->if_uint64(); u && *u <= INT64_MAX) return static_cast<std::int64_t>(*u);
    if (auto* d = v->if_double(); d && std::floor(*d) == *d && std::abs(*d) < 9e15)
      return static_cast<std::int64_t>(*d);
    if (error.empty()) error = "Field \"" + std::string(key) + "\" must be an integer";
    return std::nullopt;
  }
};

}  // namespace

// Layouts of the SDK's records (tolbu_sdk/types/records.hpp).

json::object SimOrder::to_json() const {
  return json::object{{"orderID", order_id},
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
                      {"message", message},
                      {"fee", fee}};
}

json::object SimTrade::to_json() const {
  return json::object{{"tradeID", trade_id}, {"orderID", order_id}, {"accountID", account_id},
                      {"symbol", symbol},    {"side", side},        {"price", price},
                      {"qty", qty},          {"fee", fee},          {"tradeTime", trade_time}};
}

json::object SimStopOrder::to_json() const {
  json::object out{{"orderID", order_id}, {"refOrderID", ref_order_id}, {"accountID", account_id},
                   {"symbol", symbol},    {"orderSide", side},          {"stopPrice", stop_price},
                   {"qty", qty}};
  out["limitPrice"] = limit_price ? json::value(*limit_price) : json::value(nullptr);
  out["status"] = status;
  out["triggeredOrderID"] = triggered_order_id;
  out["createdTime"] = created_time;
  out["updatedTime"] = updated_time;
  return out;
}

json::object SimBracketOrder::to_json() const {
  return json::object{{"orderID", order_id},
                      {"symbol", symbol},
                      {"side", side},
                      {"account", account_id},
                      {"quantity", quantity},
                      {"orderType", order_type},
                      {"conditionPrice", condition_price},
                      {"conditionType", condition_type},
                      {"takeProfitPrice", take_profit_price},
                      {"stopLossPrice", stop_loss_price},
                      {"status", status},
                      {"entryOrderID", entry_order_id},
                      {"exitOrderID", exit_order_id},
                      {"createdTime", created_time},
                      {"updatedTime", updated_time}};
}

Exchange::Exchange(const SimOptions& options)
    : options_(options),
      market_(options.seed),
      started_(std::chrono::steady_clock::now()),
      start_ms_(options.start_ms.value_or(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count())) {}

std::size_t Exchange::subscribe(ExchangeObserver observer) {
  std::size_t id = next_observer_++;
  observers_.emplace_back(id, std::move(observer));
  return id;
}

void Exchange::unsubscribe(std::size_t id) {
  std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void Exchange::publish(std::string_view channel, const json::value& payload) {
  // A copy: an observer may subscribe or unsubscribe while being called.
  auto observers = observers_;
  for (auto& [id, observer] : observers) observer(channel, payload);
}

std::int64_t Exchange::now_ms() const {
  auto real = std::chrono::steady_clock::now() - started_;
  auto real_ms = std::chrono::duration<double, std::milli>(real).count();
  return start_ms_ + offset_ms_ + static_cast<std::int64_t>(real_ms * options_.speed);
}

void Exchange::advance(std::int64_t ms) { offset_ms_ += ms; }

void Exchange::set_time(std::int64_t ms) { offset_ms_ += ms - now_ms(); }

std::string Exchange::candle_channel(std::string_view symbol, int resolution_s) {
  return std::string(Channels::MARKET) + ":" + DataTypes::OHLCV + ":" + std::string(symbol) + ":" +
         std::to_string(resolution_s);
}

std::string Exchange::market_channel(std::string_view data_type, std::string_view symbol) {
  return std::string(Channels::MARKET) + ":" + std::string(data_type) + ":" + std::string(symbol);
}

std::string Exchange::order_channel(std::string_view account_id) {
  return std::string(Channels::ORDER) + ":" + DataTypes::ORDER_EXECUTION_REPORT + ":" +
         std::string(account_id);
}

json::object Exchange::product_info_json(const Instrument& in, std::int64_t at_ms) {
  std::int64_t day = floor_to(at_ms, 86'400'000);
  double reference = market_.price(in.symbol, day - 1);
  double ceiling = std::floor(reference * 1.07 / in.tick_size) * in.tick_size;
  double floor = std::ceil(reference * 0.93 / in.tick_size) * in.tick_size;
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

json::object Exchange::product_master_json(const Instrument& in, std::int64_t at_ms) {
  return json::object{{"symbol", in.symbol},
                      {"name", in.name},
                      {"exchange", in.exchange},
                      {"productType", in.product_type},
                      {"info", product_info_json(in, at_ms)}};
}

double Exchange::last_price(std::string_view symbol) { return market_.price(symbol, now_ms()); }

std::string Exchange::next_id(char prefix) {
  return std::string(1, prefix) + "-" + std::to_string(++id_counters_[prefix]);
}

SimAccount& Exchange::account(std::string_view account_id) {
  auto it = accounts_.find(account_id);
  if (it == accounts_.end()) {
    it =
        accounts_
            .emplace(std::string(account_id), SimAccount{std::string(account_id), kInitialCash, {}})
            .first;
  }
  return it->second;
}

void Exchange::publish_market(const Instrument& in, std::int64_t now) {
  const std::string& symbol = in.symbol;
  for (int resolution : kLiveResolutions) {
    std::int64_t length = static_cast<std::int64_t>(resolution) * 1000;
    SimCandle c = market_.candle(symbol, resolution, floor_to(now, length), now);
    publish(candle_channel(symbol, resolution), json::object{{"time", c.time},
                                                             {"open", c.open},
                                                             {"high", c.high},
                                                             {"low", c.low},
                                                             {"close", c.close},
                                                             {"volume", c.volume}});
  }
  double last = market_.price(symbol, now);
  std::uint64_t h = mix(static_cast<std::uint64_t>(now) ^ std::hash<std::string>{}(symbol));

  json::array bids, asks;
  for (int i = 1; i <= kDepthLevels; ++i) {
    auto qty = [&](int salt) {
      return static_cast<double>((1 + mix(h + salt) % 50) * in.lot_size);
    };
    bids.push_back(json::object{{"price", round_to(last - i * in.tick_size, 6)}, {"qty", qty(i)}});
    asks.push_back(
        json::object{{"price", round_to(last + i * in.tick_size, 6)}, {"qty", qty(100 + i)}});
  }
  publish(market_channel(DataTypes::DEPTH, symbol),
          json::object{{"symbol", symbol},
                       {"time", now},
                       {"bidPriceDepth", std::move(bids)},
                       {"askPriceDepth", std::move(asks)}});

  std::int64_t day = floor_to(now, 86'400'000);
  SimCandle session = market_.candle(symbol, 86400, day, now);
  double reference = market_.price(symbol, day - 1);
  double change = round_to(last - reference, 6);
  publish(market_channel(DataTypes::PRODUCT_STAT, symbol),
          json::object{{"symbol", symbol},
                       {"time", now},
                       {"lastPrice", last},
                       {"bidPrice", round_to(last - in.tick_size, 6)},
                       {"askPrice", round_to(last + in.tick_size, 6)},
                       {"totalTradedQty", session.volume},
                       {"openPrice", session.open},
                       {"highPrice", session.high},
                       {"lowPrice", session.low},
                       {"closePrice", last},
                       {"change", change},
                       {"changePct", round_to(change / reference * 100.0, 2)}});

  publish(market_channel(DataTypes::TRADE_LOG, symbol),
          json::object{{"symbol", symbol},
                       {"time", now},
                       {"price", last},
                       {"qty", static_cast<std::int64_t>((1 + mix(h + 777) % 20) * in.lot_size)},
                       {"side", (mix(h + 778) & 1) ? "B" : "S"}});

  if (ticks_ % 25 == 1) {
    publish(market_channel(DataTypes::PRODUCT_INFO, symbol), product_info_json(in, now));
  }
}

void Exchange::tick() {
  ++ticks_;
  std::int64_t now = now_ms();
  for (const Instrument* in : market_.listed()) {
    if (has_observers()) publish_market(*in, now);
    match(in->symbol);
  }
}

bool Exchange::set_price(std::string_view symbol, double price, std::string& message) {
  const Instrument* in = market_.find(symbol);
  if (!in || !in->listed) {
    message = "Unknown symbol '" + std::string(symbol) + "'";
    return false;
  }
  if (!std::isfinite(price) || price <= 0) {
    message = "Price must be a positive number";
    return false;
  }
  std::int64_t now = now_ms();
  market_.set_price(symbol, price, now);
  if (has_observers()) publish_market(*in, now);
  match(symbol);
  return true;
}

void Exchange::report(const SimOrder& order) {
  json::object snapshot = order.to_json();
  reports_.push_back(snapshot);
  if (has_observers()) publish(order_channel(order.account_id), snapshot);
}

void Exchange::fill(SimOrder& order, double price) {
  std::int64_t now = now_ms();
  std::int64_t qty = order.qty - order.filled_qty;
  order.avg_price =
      (order.avg_price * static_cast<double>(order.filled_qty) + price * static_cast<double>(qty)) /
      static_cast<double>(order.qty);
  order.filled_qty = order.qty;
  order.status = "FILLED";
  order.updated_time = now;

  SimTrade trade{next_id('T'),
                 order.order_id,
                 order.account_id,
                 order.symbol,
                 order.side,
                 price,
                 qty,
                 round_to(price * static_cast<double>(qty) * kFeeRate, 2),
                 now};
  trades_.push_back(trade);
  order.fee += trade.fee;

  SimAccount& acct = account(order.account_id);
  SimPosition& pos = acct.positions[order.symbol];
  std::int64_t signed_qty = order.side == "B" ? qty : -qty;
  if (pos.qty == 0 || (pos.qty > 0) == (signed_qty > 0)) {
    double total = static_cast<double>(pos.qty + signed_qty);
    pos.avg_price =
        (pos.avg_price * static_cast<double>(pos.qty) + price * static_cast<double>(signed_qty)) /
        total;
    pos.qty += signed_qty;
  } else {
    std::int64_t closing = std::min(std::abs(pos.qty), std::abs(signed_qty));
    double direction = pos.qty > 0 ? 1.0 : -1.0;
    pos.realized_pnl += direction * (price - pos.avg_price) * static_cast<double>(closing);
    pos.qty += signed_qty;
    if (pos.qty == 0) {
      pos.avg_price = 0;
    } else if ((pos.qty > 0) == (signed_qty > 0)) {
      pos.avg_price = price;  // reversed: the remainder opened at this price
    }
  }
  acct.cash -= static_cast<double>(signed_qty) * price + trade.fee;

  report(order);
  if (has_observers()) {
    publish(market_channel(DataTypes::TRADE_LOG, order.symbol),
            json::object{{"symbol", order.symbol},
                         {"time", now},
                         {"price", price},
                         {"qty", qty},
                         {"side", order.side}});
  }
}

SimOrder& Exchange::submit(SimOrder order) {
  order.created_time = order.updated_time = now_ms();
  order.status = "NEW";
  refs_.emplace(order.account_id, order.ref_order_id);
  order_index_[order.order_id] = orders_.size();
  orders_.push_back(std::move(order));
  SimOrder& placed = orders_.back();
  report(placed);
  double last = last_price(placed.symbol);
  if (placed.order_type != "LO") {
    fill(placed, last);
  } else if ((placed.side == "B" && last <= placed.price) ||
             (placed.side == "S" && last >= placed.price)) {
    fill(placed, last);  // marketable on arrival: trades at the market
  }
  return placed;
}

ExchangeResult Exchange::place_order(std::string_view ref_order_id, std::string_view account_id,
                                     std::string_view symbol, std::string_view side,
                                     std::string_view price_text, std::string_view qty_text,
                                     std::string_view order_type) {
  const Instrument* in = market_.find(symbol);
  if (!in || !in->listed) return rejection(400, "Unknown symbol '" + std::string(symbol) + "'");
  if (side != "B" && side != "S")
    return rejection(400, "Invalid side '" + std::string(side) + "': expected B or S");
  if (order_type != "LO" && order_type != "MTL" && order_type != "ATO" && order_type != "ATC")
    return rejection(
        400, "Invalid order type '" + std::string(order_type) + "': expected LO, MTL, ATO or ATC");
  auto qty = parse_integer(qty_text);
  if (!qty || *qty <= 0 || std::to_string(*qty) != qty_text)
    return rejection(400, "Invalid quantity '" + std::string(qty_text) + "'");
  if (*qty % in->lot_size != 0)
    return rejection(400, "Quantity " + std::to_string(*qty) +
                              " is not a multiple of the lot size " + std::to_string(in->lot_size));
  auto price = parse_decimal(price_text);
  // The SDK writes prices as the shortest text that reads back ("26500.0", "1300.1"):
  // anything else ("26500", "0x10", "1e3") is a client that builds its paths by hand.
  if (!price || *price < 0 || tolbu_sdk::platform::number_text(*price) != price_text)
    return rejection(400, "Invalid price '" + std::string(price_text) + "'");
  if (order_type == "LO") {
    if (*price <= 0) return rejection(400, "A limit order needs a positive price");
    if (!on_grid(*price, in->tick_size))
      return rejection(400, "Price " + number_text(*price) +
                                " is not a multiple of the tick size " +
                                number_text(in->tick_size));
  }
  std::string account_name = account_id.empty() ? options_.account : std::string(account_id);
  if (ref_order_id.empty()) return rejection(400, "Missing reference order id");
  if (refs_.contains(std::pair(account_name, std::string(ref_order_id))))
    return rejection(409, "Duplicate refOrderID '" + std::string(ref_order_id) + "'");
  account(account_name);

  SimOrder order;
  order.order_id = next_id('O');
  order.ref_order_id = std::string(ref_order_id);
  order.account_id = account_name;
  order.symbol = std::string(symbol);
  order.side = std::string(side);
  order.order_type = std::string(order_type);
  order.price = order_type == "LO" ? *price : 0.0;
  order.qty = *qty;
  SimOrder& placed = submit(std::move(order));
  return accepted("Order accepted", placed.to_json());
}

ExchangeResult Exchange::cancel_order(std::string_view order_id) {
  std::int64_t now = now_ms();
  if (auto it = order_index_.find(order_id); it != order_index_.end()) {
    SimOrder& order = orders_[it->second];
    if (order.status != "NEW")
      return rejection(
          409, "Order " + order.order_id + " is " + order.status + " and cannot be cancelled");
    order.status = "CANCELLED";
    order.updated_time = now;
    report(order);
    return accepted("Order cancelled", order.to_json());
  }
  for (auto& stop : stop_orders_) {
    if (stop.order_id != order_id) continue;
    if (stop.status != "PENDING")
      return rejection(
          409, "Stop order " + stop.order_id + " is " + stop.status + " and cannot be cancelled");
    stop.status = "CANCELLED";
    stop.updated_time = now;
    return accepted("Stop order cancelled", stop.to_json());
  }
  for (auto& bracket : brackets_) {
    if (bracket.order_id != order_id) continue;
    if (bracket.status != "PENDING" && bracket.status != "ACTIVE")
      return rejection(409, "Bracket order " + bracket.order_id + " is " + bracket.status +
                                " and cannot be cancelled");
    bracket.status = "CANCELLED";
    bracket.updated_time = now;
    return accepted("Bracket order cancelled", bracket.to_json());
  }
  return rejection(404, "Order '" + std::string(order_id) + "' not found");
}

ExchangeResult Exchange::place_stop_order(const json::object& body) {
  BodyReader read{body, {}};
  SimStopOrder stop;
  stop.ref_order_id = read.text("refOrderID");
  stop.account_id = read.text("accountID", false);
  stop.symbol = read.text("symbol");
  stop.side = read.text("orderSide");
  auto stop_price = read.number("stopPrice");
  auto qty = read.integer("qty");
  auto limit = read.number("limitPrice", false);
  if (!read.error.empty()) return rejection(400, read.error);
  const Instrument* in = market_.find(stop.symbol);
  if (!in || !in->listed) return rejection(400, "Unknown symbol '" + stop.symbol + "'");
  if (stop.side != "B" && stop.side != "S")
    return rejection(400, "Invalid orderSide '" + stop.side + "': expected B or S");
  if (*stop_price <= 0 || !on_grid(*stop_price, in->tick_size))
    return rejection(400, "Invalid stopPrice " + number_text(*stop_price));
  if (limit && (*limit <= 0 || !on_grid(*limit, in->tick_size)))
    return rejection(400, "Invalid limitPrice " + number_text(*limit));
  if (*qty <= 0 || *qty % in->lot_size != 0)
    return rejection(400, "Invalid qty " + std::to_string(*qty));
  if (stop.ref_order_id.empty()) return rejection(400, "Missing field \"refOrderID\"");
  if (stop.account_id.empty()) stop.account_id = options_.account;
  for (const auto& existing : stop_orders_) {
    if (existing.ref_order_id == stop.ref_order_id && existing.account_id == stop.account_id)
      return rejection(409, "Duplicate refOrderID '" + stop.ref_order_id + "'");
  }
  account(stop.account_id);
  stop.order_id = next_id('S');
  stop.stop_price = *stop_price;
  stop.qty = *qty;
  stop.limit_price = limit;
  stop.status = "PENDING";
  stop.created_time = stop.updated_time = now_ms();
  stop_orders_.push_back(stop);
  auto answer = accepted("Stop order accepted", stop.to_json());
  match(stop.symbol);
  return answer;
}

ExchangeResult Exchange::place_bracket_order(const json::object& body) {
  BodyReader read{body, {}};
  SimBracketOrder b;
  b.symbol = read.text("symbol");
  b.side = read.text("side");
  b.account_id = read.text("account", false);
  auto quantity = read.integer("quantity");
  b.order_type = read.text("orderType");
  auto condition = read.number("conditionPrice");
  b.condition_type = read.text("conditionType");
  auto take_profit = read.number("takeProfitPrice");
  auto stop_loss = read.number("stopLossPrice");
  if (!read.error.empty()) return rejection(400, read.error);
  const Instrument* in = market_.find(b.symbol);
  if (!in || !in->listed) return rejection(400, "Unknown symbol '" + b.symbol + "'");
  if (b.side != "B" && b.side != "S")
    return rejection(400, "Invalid side '" + b.side + "': expected B or S");
  if (b.order_type != "LO") return rejection(400, "Bracket entries are LO orders");
  if (b.condition_type != "<=" && b.condition_type != ">=")
    return rejection(400, "Invalid conditionType '" + b.condition_type + "'");
  if (*quantity <= 0 || *quantity % in->lot_size != 0)
    return rejection(400, "Invalid quantity " + std::to_string(*quantity));
  for (double p : {*condition, *take_profit, *stop_loss}) {
    if (p <= 0 || !on_grid(p, in->tick_size))
      return rejection(400,
                       "Price " + number_text(p) + " is not a positive multiple of the tick size");
  }
  bool buy = b.side == "B";
  if (buy ? !(*take_profit > *condition && *condition > *stop_loss)
          : !(*take_profit < *condition && *condition < *stop_loss))
    return rejection(400, buy ? "A buy bracket needs takeProfitPrice > conditionPrice > "
                                "stopLossPrice"
                              : "A sell bracket needs takeProfitPrice < conditionPrice < "
                                "stopLossPrice");
  if (b.account_id.empty()) b.account_id = options_.account;
  account(b.account_id);
  b.order_id = next_id('K');
  b.quantity = *quantity;
  b.condition_price = *condition;
  b.take_profit_price = *take_profit;
  b.stop_loss_price = *stop_loss;
  b.status = "PENDING";
  b.created_time = b.updated_time = now_ms();
  brackets_.push_back(b);
  auto answer = accepted("Bracket order accepted", b.to_json());
  match(b.symbol);
  return answer;
}

void Exchange::match(std::string_view symbol) {
  double last = last_price(symbol);
  std::int64_t now = now_ms();
  // Resting limit orders trade at their limit when the market crosses them.
  while (first_open_ < orders_.size() && orders_[first_open_].status != "NEW") ++first_open_;
  for (std::size_t i = first_open_; i < orders_.size(); ++i) {
    SimOrder& order = orders_[i];
    if (order.status != "NEW" || order.symbol != symbol || order.order_type != "LO") continue;
    if ((order.side == "B" && last <= order.price) || (order.side == "S" && last >= order.price))
      fill(order, order.price);
  }
  for (std::size_t i = 0; i < stop_orders_.size(); ++i) {
    if (stop_orders_[i].status != "PENDING" || stop_orders_[i].symbol != symbol) continue;
    const SimStopOrder& s = stop_orders_[i];
    bool hit = s.side == "B" ? last >= s.stop_price : last <= s.stop_price;
    if (!hit) continue;
    SimOrder order;
    order.order_id = next_id('O');
    order.ref_order_id = s.ref_order_id;
    order.account_id = s.account_id;
    order.symbol = s.symbol;
    order.side = s.side;
    order.order_type = s.limit_price ? "LO" : "MTL";
    order.price = s.limit_price.value_or(0.0);
    order.qty = s.qty;
    stop_orders_[i].status = "TRIGGERED";
    stop_orders_[i].updated_time = now;
    stop_orders_[i].triggered_order_id = order.order_id;
    submit(std::move(order));
  }
  for (std::size_t i = 0; i < brackets_.size(); ++i) {
    SimBracketOrder& b = brackets_[i];
    if (b.symbol != symbol) continue;
    bool buy = b.side == "B";
    auto exit_order = [&](std::string status) {
      SimOrder order;
      order.order_id = next_id('O');
      order.ref_order_id = b.order_id + "-exit";
      order.account_id = b.account_id;
      order.symbol = b.symbol;
      order.side = buy ? "S" : "B";
      order.order_type = "MTL";
      order.qty = b.quantity;
      brackets_[i].status = std::move(status);
      brackets_[i].exit_order_id = order.order_id;
      brackets_[i].updated_time = now;
      submit(std::move(order));
    };
    if (b.status == "PENDING") {
      bool hit = b.condition_type == "<=" ? last <= b.condition_price : last >= b.condition_price;
      if (!hit) continue;
      SimOrder entry;
      entry.order_id = next_id('O');
      entry.ref_order_id = b.order_id + "-entry";
      entry.account_id = b.account_id;
      entry.symbol = b.symbol;
      entry.side = b.side;
      entry.order_type = "LO";
      entry.price = b.condition_price;
      entry.qty = b.quantity;
      b.entry_order_id = entry.order_id;
      SimOrder& placed = submit(std::move(entry));
      brackets_[i].status = placed.status == "FILLED" ? "ACTIVE" : "PENDING";
      brackets_[i].updated_time = now;
    } else if (b.status == "ACTIVE") {
      if (buy ? last >= b.take_profit_price : last <= b.take_profit_price) {
        exit_order("TAKE_PROFIT");
      } else if (buy ? last <= b.stop_loss_price : last >= b.stop_loss_price) {
        exit_order("STOP_LOSS");
      }
    }
  }
}

boost::json::array Exchange::orders(const OrderFilter& f) const {
  json::array out;
  for (const auto& order : orders_) {
    if (f.account_id && order.account_id != *f.account_id) continue;
    if (f.symbol && order.symbol != *f.symbol) continue;
    if (f.status && order.status != *f.status) continue;
    if (f.start_time && order.created_time < *f.start_time) continue;
    if (f.end_time && order.created_time > *f.end_time) continue;
    out.push_back(order.to_json());
  }
  return out;
}

boost::json::array Exchange::execution_reports() const {
  json::array out;
  for (const auto& report : reports_) out.push_back(report);
  return out;
}

boost::json::array Exchange::trades(const OrderFilter& f) const {
  json::array out;
  for (const auto& trade : trades_) {
    if (f.account_id && trade.account_id != *f.account_id) continue;
    if (f.symbol && trade.symbol != *f.symbol) continue;
    if (f.start_time && trade.trade_time < *f.start_time) continue;
    if (f.end_time && trade.trade_time > *f.end_time) continue;
    out.push_back(trade.to_json());
  }
  return out;
}

boost::json::array Exchange::stop_orders(std::optional<std::string> account_id) const {
  json::array out;
  for (const auto& stop : stop_orders_) {
    if (!account_id || stop.account_id == *account_id) out.push_back(stop.to_json());
  }
  return out;
}

boost::json::array Exchange::bracket_orders(std::optional<std::string> account_id) const {
  json::array out;
  for (const auto& b : brackets_) {
    if (!account_id || b.account_id == *account_id) out.push_back(b.to_json());
  }
  return out;
}

boost::json::array Exchange::accounts() {
  account(options_.account);
  json::array out;
  for (auto& [id, acct] : accounts_) {
    double equity = acct.cash, unrealized = 0, realized = 0, margin = 0;
    json::array positions;
    for (auto& [symbol, pos] : acct.positions) {
      double last = last_price(symbol);
      const Instrument& in = market_.instrument(symbol);
      equity += static_cast<double>(pos.qty) * last;
      double upnl = static_cast<double>(pos.qty) * (last - pos.avg_price);
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

void Exchange::reset() {
  accounts_.clear();
  orders_.clear();
  order_index_.clear();
  first_open_ = 0;
  refs_.clear();
  reports_.clear();
  trades_.clear();
  stop_orders_.clear();
  brackets_.clear();
  market_.clear_overrides();
}

}  // namespace tolbu_sim

#include "market/exchange.hpp"

#include "rest/layouts.hpp"

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
using layouts::round_to;

namespace {

constexpr int kDepthLevels = 5;

std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
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

}  // namespace

Exchange::Exchange(const SimOptions& options)
    : options_(options),
      market_(options.seed, options.vn_sessions ? Sessions::kVnDerivatives : Sessions::kAllDay),
      clock_(options.start_ms.value_or(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count()),
             options.speed) {}

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

double Exchange::last_price(std::string_view symbol) { return market_.price(symbol, now_ms()); }

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
    publish(market_channel(DataTypes::PRODUCT_INFO, symbol), layouts::product_info(market_, in, now));
  }
}

void Exchange::tick() {
  ++ticks_;
  std::int64_t now = now_ms();
  // Outside the market's sessions nothing trades, so nothing is published.
  const bool open = market_.trades_at(floor_to(now, 60'000), 60);
  for (const Instrument* in : market_.listed()) {
    if (has_observers() && open) publish_market(*in, now);
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
  if (market_.series(symbol)) {
    message = "The prices of '" + std::string(symbol) + "' come from a file (--data)";
    return false;
  }
  std::int64_t now = now_ms();
  market_.set_price(symbol, price, now);
  if (has_observers()) publish_market(*in, now);
  match(symbol);
  return true;
}

void Exchange::report(const SimOrder& order) {
  book_.record(order);
  conditional_.on_order(order, now_ms());
  if (has_observers()) publish(order_channel(order.account_id), layouts::order(order));
}

std::int64_t Exchange::volume_left(std::string_view symbol, std::int64_t bar_start) {
  if (!bar_resolution_s_ || replay_over_ || options_.fill_volume_share <= 0) return INT64_MAX;
  auto it = volume_used_.find(symbol);
  if (it == volume_used_.end())
    it = volume_used_.emplace(std::string(symbol), std::pair{0, 0}).first;
  auto& [start, used] = it->second;
  if (start != bar_start) {
    start = bar_start;
    used = 0;
  }
  const std::int64_t length = std::int64_t{*bar_resolution_s_} * 1000;
  const SimCandle bar =
      market_.candle(symbol, *bar_resolution_s_, bar_start, bar_start + length - 1);
  const auto lot = static_cast<double>(market_.instrument(symbol).lot_size);
  const auto cap =
      static_cast<std::int64_t>(std::floor(options_.fill_volume_share * bar.volume / lot) * lot);
  return std::max<std::int64_t>(0, cap - used);
}

std::int64_t Exchange::marginable(const SimOrder& order, std::int64_t qty, double price,
                                  std::string& reason) {
  SimAccount& acct = accounts_.get(order.account_id);
  auto held = acct.positions.find(order.symbol);
  const std::int64_t position = held == acct.positions.end() ? 0 : held->second.qty;
  const std::int64_t sign = order.side == "B" ? 1 : -1;
  // Up to twice the position an order only reduces it (or reverses it into a smaller one):
  // always allowed, even to an account under water.
  const std::int64_t reducing = std::min(qty, 2 * std::abs(position));
  if (sign * position < 0 && qty <= reducing) return qty;
  const double ratio = market_.instrument(order.symbol).margin_ratio;
  const std::int64_t now = now_ms();
  double equity = acct.cash, used = 0;
  for (const auto& [symbol, pos] : acct.positions) {
    if (pos.qty == 0) continue;
    const double last = market_.price(symbol, now);
    equity += static_cast<double>(pos.qty) * last;
    used += std::abs(static_cast<double>(pos.qty)) * last * market_.instrument(symbol).margin_ratio;
  }
  const double available = equity - used;
  // Initial margin of the exposure the fill adds (price x point value 1 x margin ratio),
  // with its fee.
  auto needs = [&](std::int64_t q) {
    const double added = static_cast<double>(std::abs(position + sign * q) - std::abs(position));
    return added * price * ratio + options_.costs.fee(price, q);
  };
  if (needs(qty) <= available) return qty;
  reason = "Insufficient margin: needs " + number_text(round_to(needs(qty), 2)) + ", available " +
           number_text(round_to(available, 2));
  // The most that fits, in lots, beyond the reducing part (where the need only grows).
  const std::int64_t lot = market_.instrument(order.symbol).lot_size;
  std::int64_t lo = sign * position < 0 ? reducing / lot : 0, hi = qty / lot;
  while (lo < hi) {
    const std::int64_t mid = lo + (hi - lo + 1) / 2;
    if (needs(mid * lot) <= available) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  return lo * lot;
}

void Exchange::fill(SimOrder& order, double price) {
  const std::int64_t now = now_ms();
  std::int64_t qty = order.qty - order.filled_qty;
  std::int64_t bar_start = 0;
  if (bar_resolution_s_) {
    bar_start = bar_in_match_.value_or(floor_to(now, std::int64_t{*bar_resolution_s_} * 1000));
    qty = std::min(qty, volume_left(order.symbol, bar_start));
  }
  std::string refusal;
  const std::int64_t allowed = qty > 0 ? marginable(order, qty, price, refusal) : 0;
  if (allowed > 0) {
    const double fee = options_.costs.fee(price, allowed);
    const SimTrade& trade = book_.fill(order, price, allowed, fee, ids_.next('T'), now);
    if (bar_resolution_s_) volume_used_[order.symbol].second += allowed;
    accounts_.apply(trade);
    report(order);
    if (has_observers()) {
      publish(market_channel(DataTypes::TRADE_LOG, order.symbol),
              json::object{{"symbol", order.symbol},
                           {"time", now},
                           {"price", price},
                           {"qty", trade.qty},
                           {"side", order.side}});
    }
  }
  if (allowed < qty) {
    // What the margin no longer covers is not left to fill later: cancelled, loudly.
    order.status = "CANCELLED";
    order.message = refusal;
    order.updated_time = now;
    report(order);
  }
}

void Exchange::execute(SimOrder& order, double reference) {
  // A market order, or a limit marketable at the reference, trades there, the slippage
  // worse, but never beyond a limit.
  if (!OrderBook::marketable(order, reference)) return;
  double price = reference;
  if (options_.slippage_ticks > 0) {
    const double tick = market_.instrument(order.symbol).tick_size;
    const double worse = (order.side == "B" ? 1.0 : -1.0) * options_.slippage_ticks * tick;
    price = round_to(std::round((reference + worse) / tick) * tick, 6);
    if (order.order_type == "LO") {
      price = order.side == "B" ? std::min(price, order.price) : std::max(price, order.price);
    }
  }
  fill(order, price);
}

SimOrder& Exchange::submit(SimOrder order, std::optional<double> reference) {
  const double at = reference.value_or(last_price(order.symbol));
  // An order the account cannot margin is refused whole, as an exchange would.
  const double price = OrderBook::marketable(order, at) ? at : order.price;
  std::string refusal;
  if (marginable(order, order.qty, price, refusal) < order.qty) {
    SimOrder& refused = book_.add(std::move(order), now_ms());
    refused.status = "REJECTED";
    refused.message = refusal;
    report(refused);
    return refused;
  }
  SimOrder& placed = book_.add(std::move(order), now_ms());
  report(placed);
  execute(placed, at);
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
  if (book_.has_ref(account_name, ref_order_id))
    return rejection(409, "Duplicate refOrderID '" + std::string(ref_order_id) + "'");
  accounts_.get(account_name);

  SimOrder order;
  order.order_id = ids_.next('O');
  order.ref_order_id = std::string(ref_order_id);
  order.account_id = account_name;
  order.symbol = std::string(symbol);
  order.side = std::string(side);
  order.order_type = std::string(order_type);
  order.price = order_type == "LO" ? *price : 0.0;
  order.qty = *qty;
  SimOrder& placed = submit(std::move(order));
  if (placed.status == "REJECTED") return rejection(400, placed.message);
  return accepted("Order accepted", layouts::order(placed));
}

ExchangeResult Exchange::cancel_order(std::string_view order_id) {
  const std::int64_t now = now_ms();
  if (SimOrder* order = book_.find(order_id)) {
    if (!OrderBook::is_open(*order))
      return rejection(
          409, "Order " + order->order_id + " is " + order->status + " and cannot be cancelled");
    order->status = "CANCELLED";
    order->updated_time = now;
    report(*order);
    return accepted("Order cancelled", layouts::order(*order));
  }
  if (SimStopOrder* stop = conditional_.find_stop(order_id)) {
    if (stop->status != "PENDING")
      return rejection(
          409, "Stop order " + stop->order_id + " is " + stop->status + " and cannot be cancelled");
    stop->status = "CANCELLED";
    stop->updated_time = now;
    return accepted("Stop order cancelled", layouts::stop_order(*stop));
  }
  if (SimBracketOrder* bracket = conditional_.find_bracket(order_id)) {
    if (bracket->status != "PENDING" && bracket->status != "ACTIVE")
      return rejection(409, "Bracket order " + bracket->order_id + " is " + bracket->status +
                                " and cannot be cancelled");
    bracket->status = "CANCELLED";
    bracket->updated_time = now;
    // A resting entry goes with its bracket.
    if (SimOrder* entry = book_.find(bracket->entry_order_id);
        entry && OrderBook::is_open(*entry)) {
      entry->status = "CANCELLED";
      entry->updated_time = now;
      report(*entry);
    }
    return accepted("Bracket order cancelled", layouts::bracket_order(*bracket));
  }
  return rejection(404, "Order '" + std::string(order_id) + "' not found");
}

ExchangeResult Exchange::place_stop_order(SimStopOrder stop) {
  const Instrument* in = market_.find(stop.symbol);
  if (!in || !in->listed) return rejection(400, "Unknown symbol '" + stop.symbol + "'");
  if (stop.side != "B" && stop.side != "S")
    return rejection(400, "Invalid orderSide '" + stop.side + "': expected B or S");
  if (stop.stop_price <= 0 || !on_grid(stop.stop_price, in->tick_size))
    return rejection(400, "Invalid stopPrice " + number_text(stop.stop_price));
  if (stop.limit_price && (*stop.limit_price <= 0 || !on_grid(*stop.limit_price, in->tick_size)))
    return rejection(400, "Invalid limitPrice " + number_text(*stop.limit_price));
  if (stop.qty <= 0 || stop.qty % in->lot_size != 0)
    return rejection(400, "Invalid qty " + std::to_string(stop.qty));
  if (stop.ref_order_id.empty()) return rejection(400, "Missing field \"refOrderID\"");
  if (stop.account_id.empty()) stop.account_id = options_.account;
  if (conditional_.has_stop_ref(stop.account_id, stop.ref_order_id))
    return rejection(409, "Duplicate refOrderID '" + stop.ref_order_id + "'");
  accounts_.get(stop.account_id);
  stop.order_id = ids_.next('S');
  stop.status = "PENDING";
  stop.created_time = stop.updated_time = now_ms();
  auto answer = accepted("Stop order accepted", layouts::stop_order(stop));
  const std::string symbol = stop.symbol;
  conditional_.add_stop(std::move(stop));
  match(symbol);
  return answer;
}

ExchangeResult Exchange::place_bracket_order(SimBracketOrder b) {
  const Instrument* in = market_.find(b.symbol);
  if (!in || !in->listed) return rejection(400, "Unknown symbol '" + b.symbol + "'");
  if (b.side != "B" && b.side != "S")
    return rejection(400, "Invalid side '" + b.side + "': expected B or S");
  if (b.order_type != "LO") return rejection(400, "Bracket entries are LO orders");
  if (b.condition_type != "<=" && b.condition_type != ">=")
    return rejection(400, "Invalid conditionType '" + b.condition_type + "'");
  if (b.quantity <= 0 || b.quantity % in->lot_size != 0)
    return rejection(400, "Invalid quantity " + std::to_string(b.quantity));
  for (double p : {b.condition_price, b.take_profit_price, b.stop_loss_price}) {
    if (p <= 0 || !on_grid(p, in->tick_size))
      return rejection(400,
                       "Price " + number_text(p) + " is not a positive multiple of the tick size");
  }
  const bool buy = b.side == "B";
  if (buy ? !(b.take_profit_price > b.condition_price && b.condition_price > b.stop_loss_price)
          : !(b.take_profit_price < b.condition_price && b.condition_price < b.stop_loss_price))
    return rejection(400, buy ? "A buy bracket needs takeProfitPrice > conditionPrice > "
                                "stopLossPrice"
                              : "A sell bracket needs takeProfitPrice < conditionPrice < "
                                "stopLossPrice");
  if (b.account_id.empty()) b.account_id = options_.account;
  accounts_.get(b.account_id);
  b.order_id = ids_.next('K');
  b.status = "PENDING";
  b.created_time = b.updated_time = now_ms();
  auto answer = accepted("Bracket order accepted", layouts::bracket_order(b));
  const std::string symbol = b.symbol;
  conditional_.add_bracket(std::move(b));
  match(symbol);
  return answer;
}

void Exchange::match(std::string_view symbol) {
  const double last = last_price(symbol);
  // Resting limit orders trade at their limit when the market reaches them; what is left of
  // market orders (a replay's volume share) trades at the market.
  for (SimOrder* order : book_.open_orders(symbol)) {
    if (order->order_type != "LO") {
      execute(*order, last);
    } else if (OrderBook::marketable(*order, last)) {
      fill(*order, order->price);
    }
  }
  conditional_.match(
      symbol, PriceRange::at(last), now_ms(), ids_,
      [this](SimOrder order, double at) -> SimOrder& { return submit(std::move(order), at); });
}

void Exchange::begin_replay(int resolution_s, std::optional<double> capital) {
  reset();
  bar_resolution_s_ = resolution_s;
  replay_over_ = false;
  accounts_.set_initial_cash(capital.value_or(Accounts::kDefaultCash));
}

void Exchange::match_bar(std::string_view symbol, const SimCandle& bar, bool last) {
  const std::int64_t now = now_ms();
  const PriceRange range{bar.open, bar.high, bar.low};
  auto send = [this](SimOrder order, double at) -> SimOrder& {
    return submit(std::move(order), at);
  };
  // Nobody knows the path inside a bar: what trades against the strategy is taken first.
  bar_in_match_ = bar.time;
  conditional_.match(symbol, range, now, ids_, send, ConditionalOrders::kAdverse);
  for (SimOrder* order : book_.open_orders(symbol)) {
    if (order->order_type != "LO") continue;
    // At the limit, or at the open when the bar opened through it.
    if (order->side == "B" && range.low <= order->price) {
      fill(*order, std::min(order->price, range.open));
    } else if (order->side == "S" && range.high >= order->price) {
      fill(*order, std::max(order->price, range.open));
    }
  }
  conditional_.match(symbol, range, now, ids_, send, ConditionalOrders::kFavourable);
  // Brackets entered in this bar: their stop-loss may be reached in it too.
  conditional_.match(symbol, range, now, ids_, send, ConditionalOrders::kAdverse);
  bar_in_match_.reset();
  if (last) replay_over_ = true;
  const double next_open = last_price(symbol);
  for (SimOrder* order : book_.open_orders(symbol)) {
    if (order->order_type != "LO") execute(*order, next_open);
  }
}

boost::json::array Exchange::orders(const OrderFilter& f) const {
  json::array out;
  for (const auto& order : book_.orders()) {
    if (f.account_id && order.account_id != *f.account_id) continue;
    if (f.symbol && order.symbol != *f.symbol) continue;
    if (f.status && order.status != *f.status) continue;
    if (f.start_time && order.created_time < *f.start_time) continue;
    if (f.end_time && order.created_time > *f.end_time) continue;
    out.push_back(layouts::order(order));
  }
  return out;
}

boost::json::array Exchange::execution_reports() const {
  json::array out;
  for (const auto& report : book_.reports()) out.push_back(layouts::order(report));
  return out;
}

boost::json::array Exchange::trades(const OrderFilter& f) const {
  json::array out;
  for (const auto& trade : book_.trades()) {
    if (f.account_id && trade.account_id != *f.account_id) continue;
    if (f.symbol && trade.symbol != *f.symbol) continue;
    if (f.start_time && trade.trade_time < *f.start_time) continue;
    if (f.end_time && trade.trade_time > *f.end_time) continue;
    out.push_back(layouts::trade(trade));
  }
  return out;
}

boost::json::array Exchange::stop_orders(std::optional<std::string> account_id) const {
  json::array out;
  for (const auto& stop : conditional_.stops()) {
    if (!account_id || stop.account_id == *account_id) out.push_back(layouts::stop_order(stop));
  }
  return out;
}

boost::json::array Exchange::bracket_orders(std::optional<std::string> account_id) const {
  json::array out;
  for (const auto& b : conditional_.brackets()) {
    if (!account_id || b.account_id == *account_id) out.push_back(layouts::bracket_order(b));
  }
  return out;
}

boost::json::array Exchange::accounts() {
  accounts_.get(options_.account);
  return layouts::accounts(accounts_, market_, now_ms());
}

void Exchange::reset() {
  accounts_.clear();
  accounts_.set_initial_cash(Accounts::kDefaultCash);
  volume_used_.clear();
  book_.clear();
  conditional_.clear();
  market_.clear_overrides();
}

}  // namespace tolbu_sim

#include "strategy.hpp"

#include <exception>
#include <random>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/number_text.hpp"

namespace sma_crossover {

using tolbu_sdk::platform::iso_text;
using tolbu_sdk::platform::number_text;
using tolbu_sdk::strategy::Bar;
using tolbu_sdk::strategy::ClosedPosition;
using tolbu_sdk::strategy::Position;
using tolbu_sdk::strategy::PositionOptions;
using tolbu_sdk::strategy::PositionSide;
using tolbu_sdk::types::Candle;
using tolbu_sdk::types::OrderData;
using tolbu_sdk::types::OrderResponse;

namespace {

const char* order_side(PositionSide side) { return side == PositionSide::LONG ? "B" : "S"; }
const char* action(PositionSide side) { return side == PositionSide::LONG ? "BUY" : "SELL"; }
PositionSide opposite(PositionSide side) {
  return side == PositionSide::LONG ? PositionSide::SHORT : PositionSide::LONG;
}

constexpr std::size_t kIndicatorHistory = 512;

// Ref ids are this prefix and a count: unique across runs, so that a look-up by ref id finds
// only this run's order.
std::string run_prefix() {
  std::random_device random;
  return fmt::format("sma-{:08x}{:08x}", random(), random());
}

// An entry limit still resting after this many closed bars is cancelled: the signal is stale.
constexpr std::int64_t kEntryPatienceBars = 2;

}  // namespace

SmaCrossover::SmaCrossover(Params params, tolbu_sdk::features::OrderService& orders, Ledger& ledger)
    : params_(std::move(params)),
      orders_(orders),
      ledger_(ledger),
      log_("sma_crossover"),
      symbol_{.name = params_.symbol},
      // Bounded histories: a strategy that runs for weeks must not grow without limit.
      fast_(params_.fast_period, tolbu_sdk::ta::IndicatorOptions{.max_history = kIndicatorHistory}),
      slow_(params_.slow_period, tolbu_sdk::ta::IndicatorOptions{.max_history = kIndicatorHistory}),
      atr_(params_.atr_period, tolbu_sdk::ta::IndicatorOptions{.max_history = kIndicatorHistory}),
      ref_prefix_(run_prefix()) {}

void SmaCrossover::load_history(const std::vector<Candle>& candles) {
  std::vector<Bar> bars;
  bars.reserve(candles.size());
  for (const auto& candle : candles) bars.push_back(Bar::from_candle(candle, params_.symbol));
  symbol_.bars.load(bars);
  // Every bar but the newest is complete; the newest is fed once the next one starts.
  for (std::size_t i = 0; i + 1 < bars.size(); ++i) {
    fast_.add(bars[i]);
    slow_.add(bars[i]);
    atr_.add(bars[i]);
  }
  if (const std::optional<Bar> last = symbol_.bars.current()) {
    ledger_.set_market(iso_text(last->time), last->close);
    log_.info("History: {} bars up to {}, close {}", symbol_.bars.size(), iso_text(last->time),
              number_text(last->close));
  } else {
    log_.warning("No candle history for {}; warming up on live bars", params_.symbol);
  }
}

// One candle's road: candle -> Bar -> bar history -> indicators -> signal -> order.
void SmaCrossover::on_candle(const Candle& candle) {
  Bar bar = Bar::from_candle(candle, params_.symbol);
  // A copy: it stays the bar before this candle after add() below.
  const std::optional<Bar> current = symbol_.bars.current();
  if (!current || bar.time > current->time) {
    // A new candle starts: the one before it is complete.
    symbol_.bars.add(bar);
    if (current) on_bar_closed(*current);
  } else if (bar.time == current->time) {
    symbol_.bars.update(bar);  // the forming candle changed
  } else {
    return;  // a late update of a candle already closed
  }
  ledger_.set_market(iso_text(bar.time), bar.close);
  on_price(bar.close);
}

void SmaCrossover::on_stat(const tolbu_sdk::types::ProductStat& stat) {
  if (stat.symbol != params_.symbol) return;
  symbol_.update_from_stat(stat);
  on_price(stat.last_price);
}

void SmaCrossover::on_depth(const tolbu_sdk::types::Depth& depth) {
  if (depth.symbol == params_.symbol) symbol_.update_from_depth(depth);
}

void SmaCrossover::on_execution_report(const boost::json::value& report) {
  OrderData order;
  try {
    order = OrderData::from_dict(report);
  } catch (const std::exception&) {
    log_.warning(std::current_exception(), "Unreadable execution report skipped");
    return;
  }
  log_.debug("Execution report {} {} filled {}", order.order_id, order.status, order.filled_qty);
  apply(order);
}

void SmaCrossover::reconcile(std::string_view channel) {
  log_.warning("Stream gap on {}: reconciling orders and position from REST", channel);
  std::size_t applied = 0;
  try {
    for (const auto& order : orders_.get_orders(params_.account_id)) {
      if (!pending_.contains(order.order_id)) continue;
      apply(order);
      ++applied;
    }
  } catch (const std::exception&) {
    log_.error(std::current_exception(), "Reconciliation from REST failed");
    return;
  }
  log_.info("Reconciled from REST: {} pending orders updated, {} still pending, position {}",
            applied, pending_.size(),
            position_ ? fmt::format("{} {}", to_string(position_->side), position_->quantity)
                      : std::string("flat"));
}

void SmaCrossover::on_bar_closed(const Bar& bar) {
  log_.bar(bar.symbol, bar.open, bar.high, bar.low, bar.close, bar.volume);
  const auto prev_fast = fast_.value();
  const auto prev_slow = slow_.value();
  fast_.add(bar);
  slow_.add(bar);
  atr_.add(bar);
  hold_exits_ = false;
  if (!settle_uncertain()) return;
  cancel_stale_entries();

  const auto fast = fast_.value();
  const auto slow = slow_.value();
  const auto atr = atr_.value();
  if (!prev_fast || !prev_slow || !fast || !slow || !atr) return;  // still warming up
  const bool up = *prev_fast <= *prev_slow && *fast > *slow;
  const bool down = *prev_fast >= *prev_slow && *fast < *slow;
  if (!up && !down) return;

  const PositionSide side = up ? PositionSide::LONG : PositionSide::SHORT;
  log_.info("Crossover {}: fast SMA {} {} slow SMA {} (ATR {})", up ? "up" : "down",
            number_text(*fast), up ? ">" : "<", number_text(*slow), number_text(*atr));
  if (!pending_.empty()) return;  // an order in flight decides first
  if (position_) {
    if (position_->side == side) return;
    reverse_to_ = side;
    exit("opposite crossover");
  } else {
    enter(side, *atr, "crossover");
  }
}

// Every price update moves the open position and may trigger its stops.
void SmaCrossover::on_price(double price) {
  if (!position_ || price <= 0) return;
  position_->update_price(price);
  ledger_.set_position(&*position_);
  if (exiting_ || hold_exits_) return;
  if (position_->should_take_profit()) {
    log_.risk(fmt::format("Take profit reached at {} (target {})", number_text(price),
                          number_text(*position_->take_profit)));
    exit("take profit");
  } else if (position_->should_stop_loss()) {
    const double best = position_->is_long() ? position_->highest_price : position_->lowest_price;
    log_.risk(fmt::format("Trailing stop hit at {} ({} from the best price {})", number_text(price),
                          number_text(position_->trailing_stop_distance), number_text(best)));
    exit("stop loss");
  }
}

void SmaCrossover::enter(PositionSide side, double atr, std::string_view reason) {
  const std::int64_t qty = symbol_.normalize_quantity(params_.quantity);
  if (qty <= 0) {
    log_.risk(fmt::format("Quantity {} is below the minimum of {}; no order",
                          number_text(params_.quantity), symbol_.min_qty));
    return;
  }
  // A limit one tick through the touch: marketable on arrival, yet never far from the market.
  const bool buy = side == PositionSide::LONG;
  double touch = buy ? symbol_.ask : symbol_.bid;
  if (touch <= 0) touch = symbol_.last_price;
  if (const auto last = symbol_.bars.current(); touch <= 0 && last) touch = last->close;
  if (touch <= 0) {
    log_.warning("No price known for {}; {} signal skipped", params_.symbol, action(side));
    return;
  }
  const double price =
      symbol_.normalize_price(buy ? touch + symbol_.tick_size : touch - symbol_.tick_size);
  log_.info(
      "Entering {} on {}: margin needed {}", to_string(side), reason,
      number_text(price * static_cast<double>(qty) * symbol_.point_value * symbol_.margin_rate));
  log_.order(action(side), params_.symbol, qty, price);
  send(order_side(side), price, qty, "LO", Pending{Purpose::ENTRY, side, atr});
}

void SmaCrossover::exit(std::string_view reason) {
  if (!position_ || exiting_) return;
  const PositionSide side = position_->side;
  log_.info("Closing {} position on {}", to_string(side), reason);
  log_.order(action(opposite(side)), params_.symbol, position_->quantity, position_->current_price);
  exiting_ = true;
  // At the market, as close_position sends it, but under our own ref id.
  send(order_side(opposite(side)), 0.0, position_->quantity, "MTL",
       Pending{Purpose::EXIT, side, 0.0});
}

void SmaCrossover::send(std::string_view side, double price, std::int64_t qty,
                        std::string_view type, Pending pending) {
  const auto ref = fmt::format("{}-{}", ref_prefix_, ++ref_count_);
  try {
    track(orders_.place_order(params_.symbol, side, price, qty, type, params_.account_id, ref),
          pending);
  } catch (const tolbu_sdk::TransportError& e) {
    log_.warning("No answer for order {}: {}; looking it up", ref, e.what());
    uncertain_ = Uncertain{ref, pending};
    settle_uncertain();
  } catch (const std::exception&) {
    ledger_.record_rejection();
    if (pending.purpose == Purpose::ENTRY) {
      log_.exception(std::current_exception(), "Entry order failed");
    } else {
      log_.exception(std::current_exception(), "Closing order failed; retrying on the next bar");
      exit_failed();
    }
  }
}

bool SmaCrossover::settle_uncertain() {
  if (!uncertain_) return true;
  std::vector<OrderData> orders;
  try {
    orders = orders_.get_orders(params_.account_id);
  } catch (const std::exception& e) {
    log_.warning("Looking up order {} failed: {}; no new order until it is found or not",
                 uncertain_->ref, e.what());
    return false;
  }
  const Uncertain lost = std::move(*uncertain_);
  uncertain_.reset();
  for (const auto& order : orders) {
    if (order.ref_order_id != lost.ref) continue;
    log_.warning("Order {} reached the exchange as {}", lost.ref, order.order_id);
    known_.insert(order.order_id);
    pending_.emplace(order.order_id, lost.pending);
    apply(order);
    return true;
  }
  log_.warning("Order {} never reached the exchange", lost.ref);
  ledger_.record_rejection();
  if (lost.pending.purpose == Purpose::EXIT) exit_failed();
  return true;
}

// A closing order that did not go through: the next bar tries again.
void SmaCrossover::exit_failed() {
  exiting_ = false;
  hold_exits_ = true;
  reverse_to_.reset();
}

void SmaCrossover::track(const OrderResponse& answer, Pending pending) {
  if (!answer.success || answer.order_id.empty()) {
    log_.error("Order refused (status {}): {}", answer.status,
               answer.message.empty() ? "no order id in the answer" : answer.message);
    ledger_.record_rejection();
    if (pending.purpose == Purpose::EXIT) exit_failed();
    return;
  }
  log_.info("Order {} accepted: {}", answer.order_id, answer.message);
  known_.insert(answer.order_id);
  pending_.emplace(answer.order_id, pending);
  // The answer usually carries the order as the back end holds it, possibly already filled.
  OrderData order;
  try {
    order = OrderData::from_dict(answer.data);
  } catch (const std::exception&) {
    order =
        OrderData{.order_id = answer.order_id,
                  .ref_order_id = answer.ref_order_id,
                  .account_id = params_.account_id,
                  .symbol = params_.symbol,
                  .side = pending.purpose == Purpose::ENTRY ? order_side(pending.side)
                                                            : order_side(opposite(pending.side)),
                  .status = "NEW"};
  }
  apply(order);
}

// The one place where an order's outcome changes the strategy's state: placement answers and
// execution reports both come here, in whatever order they arrive.
void SmaCrossover::apply(const OrderData& order) {
  if (!known_.contains(order.order_id)) return;  // not ours
  ledger_.record_order(order);
  auto it = pending_.find(order.order_id);
  if (it == pending_.end() || !is_final(order.status)) return;
  const Pending pending = it->second;
  pending_.erase(it);

  if (order.status != "FILLED" && order.filled_qty == 0) {
    log_.warning("Order {} ended {} without a fill{}{}", order.order_id, order.status,
                 order.message.empty() ? "" : ": ", order.message);
    if (pending.purpose == Purpose::EXIT) exit_failed();
    return;
  }
  if (pending.purpose == Purpose::ENTRY) {
    opened(pending, order);
  } else {
    closed(order);
  }
}

tolbu_sdk::platform::LocalDateTime SmaCrossover::now() const {
  if (params_.market_clock) {
    if (const auto bar = symbol_.bars.current()) return bar->time;
  }
  return tolbu_sdk::platform::now_local();
}

void SmaCrossover::opened(const Pending& pending, const OrderData& order) {
  const std::int64_t qty = order.filled_qty > 0 ? order.filled_qty : order.qty;
  const double entry = order.avg_price > 0 ? order.avg_price : order.price;
  const bool is_long = pending.side == PositionSide::LONG;
  const double direction = is_long ? 1.0 : -1.0;
  const double stop = symbol_.normalize_price(entry - direction * params_.stop_atr * pending.atr);
  const double take = symbol_.normalize_price(entry + direction * params_.take_atr * pending.atr);
  position_.emplace(fmt::format("{}-{}", params_.symbol, ++position_count_), params_.symbol,
                    pending.side, qty, entry, now(),
                    PositionOptions{.point_value = symbol_.point_value,
                                    .stop_loss = stop,
                                    .take_profit = take,
                                    .trailing_stop = true,
                                    .trailing_stop_distance = params_.stop_atr * pending.atr,
                                    .account_id = params_.account_id,
                                    .order_id = order.order_id});
  log_.trade(params_.symbol, is_long ? "buy" : "sell", qty, entry);
  log_.position(is_long ? "OPEN LONG" : "OPEN SHORT", params_.symbol, qty, entry);
  log_.info("Stops for {}: stop loss {} trailing by {}, take profit {}", position_->id,
            number_text(stop), number_text(position_->trailing_stop_distance), number_text(take));
  ledger_.set_position(&*position_);
}

void SmaCrossover::closed(const OrderData& order) {
  if (!position_) return;
  exiting_ = false;
  const double exit_price = order.avg_price > 0 ? order.avg_price : position_->current_price;
  const std::int64_t filled = order.filled_qty > 0 ? order.filled_qty : order.qty;
  const char* side = position_->is_long() ? "sell" : "buy";

  if (filled < position_->quantity) {
    // Partly closed: book the closed part, keep the rest open with its stops.
    Position part = *position_;
    part.quantity = filled;
    const ClosedPosition record = stamped(ClosedPosition::from_position(part, exit_price));
    position_->quantity -= filled;
    position_->update_price(exit_price);
    log_.trade(params_.symbol, side, filled, exit_price, record.pnl);
    ledger_.record_closed(record);
    ledger_.set_position(&*position_);
    reverse_to_.reset();
    return;
  }

  const ClosedPosition record = stamped(ClosedPosition::from_position(*position_, exit_price));
  const std::int64_t qty = position_->quantity;
  const double entry = position_->entry_price;
  const double pnl = position_->close(exit_price);
  log_.trade(params_.symbol, side, qty, exit_price, pnl);
  log_.position("CLOSED", params_.symbol, qty, entry, pnl);
  ledger_.record_closed(record);
  position_.reset();
  ledger_.set_position(nullptr);

  if (reverse_to_) {
    const PositionSide next = *reverse_to_;
    reverse_to_.reset();
    if (const auto atr = atr_.value()) enter(next, *atr, "reversal");
  }
}

ClosedPosition SmaCrossover::stamped(ClosedPosition record) const {
  if (params_.market_clock) {
    record.exit_time = now();
    record.duration_seconds =
        tolbu_sdk::platform::seconds_between(record.entry_time, record.exit_time);
  }
  return record;
}

void SmaCrossover::cancel_stale_entries() {
  std::vector<std::string> stale;
  for (auto& [id, pending] : pending_) {
    if (pending.purpose == Purpose::ENTRY && ++pending.bars_waited >= kEntryPatienceBars)
      stale.push_back(id);
  }
  for (const auto& id : stale) {
    log_.info("Entry order {} still open after {} bars; cancelling", id, kEntryPatienceBars);
    cancel(id);
  }
}

void SmaCrossover::cancel(const std::string& order_id) {
  try {
    const OrderResponse answer = orders_.cancel_order(order_id, params_.account_id);
    if (!answer.success) {
      // Most often it filled meanwhile; its report tells.
      log_.warning("Cancel of {} refused (status {}): {}", order_id, answer.status, answer.message);
      return;
    }
    apply(OrderData::from_dict(answer.data));
  } catch (const std::exception&) {
    log_.exception(std::current_exception(), "Cancel of {} failed", order_id);
  }
}

void SmaCrossover::flatten(std::string_view reason) {
  settle_uncertain();
  reverse_to_.reset();
  std::vector<std::string> entries;
  for (const auto& [id, pending] : pending_) {
    if (pending.purpose == Purpose::ENTRY) entries.push_back(id);
  }
  for (const auto& id : entries) cancel(id);
  hold_exits_ = false;
  exit(reason);
}

}  // namespace sma_crossover

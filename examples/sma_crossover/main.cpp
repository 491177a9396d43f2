// sma_crossover: a fast and a slow simple moving average of closing prices, on the strategy kit.
//
// Per symbol: the fast SMA crossing above the slow one buys, crossing below sells short, with a
// limit one tick through the touch (marketable on arrival, never far from the market); an entry
// limit still resting after two closed bars is cancelled, its signal being stale. Each position
// carries a stop loss and a take profit sized by the average true range (ATR); the stop trails
// the best price seen at the same distance, checked on every price between bars. An opposite
// crossover closes the position at the market and opens the other way. The SDK's risk limits
// guard every order (off with --no-risk). The kit runs the rest: options, logging, history, the
// stream, orders and fills, the control API, flattening at the end, the summary and the report.
//
//   export TOLBU_JWT=tolbu-sim-token
//   sma_crossover --symbol VN30F2412 --duration 60 --set fast=3 --set slow=8 --set quantity=1
//   sma_crossover --symbol HPG,VN30F2412 --set lots=1      # one lot of each

#include <tolbu_sdk/features/indicators.hpp>
#include <tolbu_sdk/kit.hpp>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/number_text.hpp"
#include "tolbu_sdk/strategy/position.hpp"

namespace kit = tolbu_sdk::kit;
namespace ind = tolbu_sdk::features::indicators;
using tolbu_sdk::platform::number_text;
using tolbu_sdk::strategy::Bar;
using tolbu_sdk::strategy::Position;
using tolbu_sdk::strategy::PositionOptions;
using tolbu_sdk::strategy::PositionSide;

namespace {

// An entry limit still resting after this many closed bars is cancelled: the signal is stale.
constexpr std::int64_t kEntryPatienceBars = 2;
// Bounded histories: a strategy that runs for weeks must not grow without limit.
const tolbu_sdk::ta::IndicatorOptions kBounded{.max_history = 512};

bool is_working(kit::Context& ctx, const std::string& ref) {
  if (ref.empty()) return false;
  const auto order = ctx.orders().find(ref);
  return order && !kit::is_final(order->status);
}

}  // namespace

class SmaCrossover : public kit::Strategy {
 public:
  void on_start(kit::Context& ctx) override {
    const int fast = static_cast<int>(ctx.param("fast", 3.0));
    const int slow = static_cast<int>(ctx.param("slow", 8.0));
    const int atr = static_cast<int>(ctx.param("atr", 5.0));
    stop_atr_ = ctx.param("stop_atr", 2.0);
    take_atr_ = ctx.param("take_atr", 3.0);
    quantity_ = ctx.param("quantity", 1.0);
    lots_ = static_cast<std::int64_t>(ctx.param("lots", 0.0));
    if (fast <= 0 || atr <= 0 || fast >= slow) {
      throw tolbu_sdk::ValueError("fast must be positive and shorter than slow");
    }
    for (const auto& symbol : ctx.options().symbols) {
      books_.try_emplace(symbol, fast, slow, atr);
      // A quantity below a whole lot would place no order at all: a run that cannot trade
      // is refused at its start rather than reported as a quiet one.
      const auto& rules = ctx.symbol(symbol);
      if (lots_ <= 0 && rules.normalize_quantity(quantity_) <= 0) {
        throw tolbu_sdk::ValueError(
            quantity_ >= static_cast<double>(std::max<std::int64_t>(rules.lot_size, 1))
                ? fmt::format("Quantity {} is below {}'s minimum of {}", number_text(quantity_),
                              symbol, rules.min_qty)
                : fmt::format("Quantity {} is not a multiple of {}'s lot size {}: set quantity "
                              "in whole lots, or lots",
                              number_text(quantity_), symbol, rules.lot_size));
      }
    }
    ctx.log().info("SMA {}/{} crossover, ATR({}) stop {} and take profit {}, quantity {}", fast,
                   slow, atr, stop_atr_, take_atr_, quantity_);
  }

  void on_bar(kit::Context& ctx, const Bar& bar) override {
    auto& b = books_.at(bar.symbol);
    const auto prev_fast = b.fast.value();
    const auto prev_slow = b.slow.value();
    b.fast.add(bar);
    b.slow.add(bar);
    b.atr.add(bar);
    if (ctx.warming_up()) return;
    ctx.log().bar(bar.symbol, bar.open, bar.high, bar.low, bar.close, bar.volume);
    b.hold_exits = false;
    if (is_working(ctx, b.entry_ref) && ++b.entry_bars >= kEntryPatienceBars) {
      ctx.log().info("Entry order {} still open after {} bars; cancelling", b.entry_ref,
                     kEntryPatienceBars);
      ctx.orders().cancel(b.entry_ref);
    }

    const auto fast = b.fast.value();
    const auto slow = b.slow.value();
    const auto atr = b.atr.value();
    if (!prev_fast || !prev_slow || !fast || !slow || !atr) return;  // still warming up
    const bool up = *prev_fast <= *prev_slow && *fast > *slow;
    const bool down = *prev_fast >= *prev_slow && *fast < *slow;
    if (!up && !down) return;
    const PositionSide side = up ? PositionSide::LONG : PositionSide::SHORT;
    ctx.log().info("Crossover {} on {}: fast SMA {} {} slow SMA {} (ATR {})", up ? "up" : "down",
                   bar.symbol, number_text(*fast), up ? ">" : "<", number_text(*slow),
                   number_text(*atr));
    if (has_working_order(ctx, bar.symbol)) return;  // an order in flight decides first
    const std::int64_t held = ctx.portfolio().position(bar.symbol);
    if (held == 0) {
      enter(ctx, bar.symbol, side, *atr, "crossover");
    } else if ((held > 0) != up) {
      b.reverse_to = side;
      exit(ctx, bar.symbol, "opposite crossover");
    }
  }

  // Every price moves the open position's trailing stop and may trigger its exits.
  void on_price(kit::Context& ctx, const std::string& symbol, double price) override {
    auto& b = books_.at(symbol);
    if (!b.stops) return;
    b.stops->update_price(price);
    if (!b.exit_ref.empty() || b.hold_exits) return;
    if (b.stops->should_take_profit()) {
      ctx.log().risk(fmt::format("Take profit reached on {} at {} (target {})", symbol,
                                 number_text(price), number_text(*b.stops->take_profit)));
      exit(ctx, symbol, "take profit");
    } else if (b.stops->should_stop_loss()) {
      const double best = b.stops->is_long() ? b.stops->highest_price : b.stops->lowest_price;
      ctx.log().risk(fmt::format("Trailing stop hit on {} at {} ({} from the best price {})",
                                 symbol, number_text(price),
                                 number_text(b.stops->trailing_stop_distance), number_text(best)));
      exit(ctx, symbol, "stop loss");
    }
  }

  void on_order(kit::Context& ctx, const kit::OrderEvent& event) override {
    const auto& order = event.order;
    const std::string& symbol = order.intent.symbol;
    auto it = books_.find(symbol);
    if (it == books_.end()) return;
    auto& b = it->second;
    const auto holding = ctx.portfolio().holding(symbol);
    if (event.kind == kit::OrderEvent::Kind::FILL) {
      if (holding.qty == 0) {
        if (b.stops) {
          const double sign = b.stops->is_long() ? 1.0 : -1.0;
          ctx.log().position("CLOSED", symbol, b.stops->quantity, b.stops->entry_price,
                             sign * (event.fill->price - b.stops->entry_price) *
                                 static_cast<double>(b.stops->quantity) * b.stops->point_value);
        }
        b.stops.reset();
      } else if (order.intent.tag == "entry") {
        opened(ctx, b, holding);
      } else if (b.stops) {
        b.stops->quantity = std::abs(holding.qty);  // partly closed: the rest keeps its stops
      }
      return;
    }
    if (event.kind != kit::OrderEvent::Kind::DONE) return;
    if (order.ref == b.entry_ref) b.entry_ref.clear();
    if (order.ref != b.exit_ref) return;
    b.exit_ref.clear();
    if (holding.qty != 0) {
      // The closing order did not go through: the next bar tries again.
      ctx.log().warning("Closing order {} ended {}; retrying on the next bar", order.ref,
                        kit::to_string(order.status));
      b.hold_exits = true;
      b.reverse_to.reset();
    } else if (b.reverse_to) {
      const PositionSide next = *b.reverse_to;
      b.reverse_to.reset();
      if (const auto atr = b.atr.value()) enter(ctx, symbol, next, *atr, "reversal");
    }
  }

 private:
  struct Book {
    Book(int fast_period, int slow_period, int atr_period)
        : fast(fast_period, kBounded), slow(slow_period, kBounded), atr(atr_period, kBounded) {}
    ind::SMA fast;
    ind::SMA slow;
    ind::ATR atr;
    std::optional<Position> stops;  // of the open position
    std::string entry_ref;
    std::int64_t entry_bars = 0;
    double entry_atr = 0.0;  // sizes the stops once the entry fills
    std::string exit_ref;
    std::optional<PositionSide> reverse_to;  // the entry after the exit fills
    bool hold_exits = false;                 // a closing order failed: wait for the next bar
    std::int64_t positions = 0;
  };

  void enter(kit::Context& ctx, const std::string& name, PositionSide side, double atr,
             const char* reason) {
    auto& symbol = ctx.symbol(name);
    // Whole lots of each symbol when lots is set: one quantity rarely suits several symbols.
    const std::int64_t qty = lots_ > 0 ? lots_ * std::max<std::int64_t>(symbol.lot_size, 1)
                                       : symbol.normalize_quantity(quantity_);
    if (qty <= 0) {
      ctx.log().risk(fmt::format("Quantity {} of {} is below a lot of {}; no order",
                                 number_text(quantity_), name, symbol.lot_size));
      return;
    }
    const bool buy = side == PositionSide::LONG;
    double touch = buy ? symbol.ask : symbol.bid;
    if (touch <= 0) touch = symbol.last_price;
    if (touch <= 0) {
      ctx.log().warning("No price known for {}; {} signal skipped", name, buy ? "buy" : "sell");
      return;
    }
    const double price =
        symbol.normalize_price(buy ? touch + symbol.tick_size : touch - symbol.tick_size);
    ctx.log().info("Entering {} on {} ({})", to_string(side), name, reason);
    ctx.log().order(buy ? "BUY" : "SELL", name, qty, price);
    const std::string ref =
        buy ? ctx.buy(name, qty, price, "entry") : ctx.sell(name, qty, price, "entry");
    if (ref.empty()) return;
    auto& b = books_.at(name);
    b.entry_ref = ref;
    b.entry_bars = 0;
    b.entry_atr = atr;
  }

  // Closes the whole position at the market, after cancelling what is left of its entry.
  void exit(kit::Context& ctx, const std::string& name, const char* reason) {
    auto& b = books_.at(name);
    const std::int64_t held = ctx.portfolio().position(name);
    if (held == 0 || !b.exit_ref.empty()) return;
    if (is_working(ctx, b.entry_ref)) ctx.orders().cancel(b.entry_ref);
    ctx.log().info("Closing {} position on {}: {}", held > 0 ? "LONG" : "SHORT", name, reason);
    ctx.log().order(held > 0 ? "SELL" : "BUY", name, std::abs(held), ctx.symbol(name).last_price);
    b.exit_ref = held > 0 ? ctx.sell(name, held, 0.0, "exit") : ctx.buy(name, -held, 0.0, "exit");
    if (b.exit_ref.empty()) {
      b.hold_exits = true;  // refused (the reason is logged): the next bar tries again
      b.reverse_to.reset();
    }
  }

  void opened(kit::Context& ctx, Book& b, const kit::Holding& holding) {
    const std::int64_t qty = std::abs(holding.qty);
    if (b.stops) {  // a further part of the same entry
      b.stops->quantity = qty;
      return;
    }
    const auto& symbol = ctx.symbol(holding.symbol);
    const bool is_long = holding.qty > 0;
    const double direction = is_long ? 1.0 : -1.0;
    const double entry = holding.avg_price;
    const double stop = symbol.normalize_price(entry - direction * stop_atr_ * b.entry_atr);
    const double take = symbol.normalize_price(entry + direction * take_atr_ * b.entry_atr);
    b.stops.emplace(fmt::format("{}-{}", holding.symbol, ++b.positions), holding.symbol,
                    is_long ? PositionSide::LONG : PositionSide::SHORT, qty, entry, ctx.now(),
                    PositionOptions{.point_value = symbol.point_value,
                                    .stop_loss = stop,
                                    .take_profit = take,
                                    .trailing_stop = true,
                                    .trailing_stop_distance = stop_atr_ * b.entry_atr,
                                    .account_id = ctx.options().account_id});
    ctx.log().position(is_long ? "OPEN LONG" : "OPEN SHORT", holding.symbol, qty, entry);
    ctx.log().info("Stops for {}: stop loss {} trailing by {}, take profit {}", b.stops->id,
                   number_text(stop), number_text(b.stops->trailing_stop_distance),
                   number_text(take));
  }

  static bool has_working_order(kit::Context& ctx, const std::string& symbol) {
    for (const auto& order : ctx.orders().open_orders()) {
      if (order.intent.symbol == symbol) return true;
    }
    return false;
  }

  std::map<std::string, Book> books_;
  double stop_atr_ = 2.0;
  double take_atr_ = 3.0;
  double quantity_ = 1.0;  // normalised to the instrument's lot size and limits
  std::int64_t lots_ = 0;  // instead of quantity_ when above 0
};

int main(int argc, char** argv) {
  SmaCrossover strategy;
  // The SDK's risk limits guard every run unless the command line changes them (--no-risk).
  return kit::run_main(argc, argv, strategy, {.name = "sma_crossover", .risk = kit::RiskLimits{}});
}

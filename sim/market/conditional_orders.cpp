#include "market/conditional_orders.hpp"

#include <algorithm>

namespace tolbu_sim {

bool ConditionalOrders::has_stop_ref(std::string_view account_id, std::string_view ref) const {
  for (const auto& stop : stops_) {
    if (stop.ref_order_id == ref && stop.account_id == account_id) return true;
  }
  return false;
}

SimStopOrder* ConditionalOrders::find_stop(std::string_view order_id) {
  for (auto& stop : stops_) {
    if (stop.order_id == order_id) return &stop;
  }
  return nullptr;
}

SimBracketOrder* ConditionalOrders::find_bracket(std::string_view order_id) {
  for (auto& bracket : brackets_) {
    if (bracket.order_id == order_id) return &bracket;
  }
  return nullptr;
}

namespace {

// Where a range first reached `level` coming from above (down) or below (up): the open
// when it opened beyond it, else the level itself; absent when it never got there.
std::optional<double> reached_down(const PriceRange& r, double level) {
  if (r.low > level) return std::nullopt;
  return std::min(r.open, level);
}
std::optional<double> reached_up(const PriceRange& r, double level) {
  if (r.high < level) return std::nullopt;
  return std::max(r.open, level);
}

}  // namespace

void ConditionalOrders::on_order(const SimOrder& order, std::int64_t now) {
  auto it = entries_.find(order.order_id);
  if (it == entries_.end()) return;
  SimBracketOrder& b = brackets_[it->second];
  if (b.status != "PENDING") {
    entries_.erase(it);  // cancelled meanwhile
  } else if (order.status == "FILLED") {
    b.status = "ACTIVE";
    b.updated_time = now;
    entries_.erase(it);
  } else if (order.status == "CANCELLED" || order.status == "REJECTED") {
    b.status = "CANCELLED";
    b.updated_time = now;
    entries_.erase(it);
  }
}

void ConditionalOrders::match(std::string_view symbol, const PriceRange& range, std::int64_t now,
                              IdSource& ids, const Submit& submit, unsigned kinds) {
  // By index: a submitted order may set off more, and the vectors may grow meanwhile.
  if (kinds & kAdverse) {
    for (std::size_t i = 0; i < stops_.size(); ++i) {
      if (stops_[i].status != "PENDING" || stops_[i].symbol != symbol) continue;
      const SimStopOrder& s = stops_[i];
      const auto hit =
          s.side == "B" ? reached_up(range, s.stop_price) : reached_down(range, s.stop_price);
      if (!hit) continue;
      SimOrder order;
      order.order_id = ids.next('O');
      order.ref_order_id = s.ref_order_id;
      order.account_id = s.account_id;
      order.symbol = s.symbol;
      order.side = s.side;
      order.order_type = s.limit_price ? "LO" : "MTL";
      order.price = s.limit_price.value_or(0.0);
      order.qty = s.qty;
      stops_[i].status = "TRIGGERED";
      stops_[i].updated_time = now;
      stops_[i].triggered_order_id = order.order_id;
      submit(std::move(order), *hit);
    }
  }
  for (std::size_t i = 0; i < brackets_.size(); ++i) {
    if (brackets_[i].symbol != symbol) continue;
    const bool buy = brackets_[i].side == "B";
    auto exit_order = [&](std::string status, double reference) {
      SimBracketOrder& b = brackets_[i];
      SimOrder order;
      order.order_id = ids.next('O');
      order.ref_order_id = b.order_id + "-exit";
      order.account_id = b.account_id;
      order.symbol = b.symbol;
      order.side = buy ? "S" : "B";
      order.order_type = "MTL";
      order.qty = b.quantity;
      b.status = std::move(status);
      b.exit_order_id = order.order_id;
      b.updated_time = now;
      submit(std::move(order), reference);
    };
    const SimBracketOrder& b = brackets_[i];
    if (b.status == "PENDING" && b.entry_order_id.empty() && (kinds & kFavourable)) {
      const auto hit = b.condition_type == "<=" ? reached_down(range, b.condition_price)
                                                : reached_up(range, b.condition_price);
      if (!hit) continue;
      SimOrder entry;
      entry.order_id = ids.next('O');
      entry.ref_order_id = b.order_id + "-entry";
      entry.account_id = b.account_id;
      entry.symbol = b.symbol;
      entry.side = b.side;
      entry.order_type = "LO";
      entry.price = b.condition_price;
      entry.qty = b.quantity;
      // The entry rests once placed: it is never sent twice. Its fill arms the exits
      // (on_order).
      brackets_[i].entry_order_id = entry.order_id;
      brackets_[i].updated_time = now;
      entries_[entry.order_id] = i;
      submit(std::move(entry), *hit);
    } else if (b.status == "ACTIVE") {
      // The stop-loss first: when one range reaches both, the worse exit is taken.
      const auto stop =
          buy ? reached_down(range, b.stop_loss_price) : reached_up(range, b.stop_loss_price);
      const auto target =
          buy ? reached_up(range, b.take_profit_price) : reached_down(range, b.take_profit_price);
      if (stop && (kinds & kAdverse)) {
        exit_order("STOP_LOSS", *stop);
      } else if (target && (kinds & kFavourable)) {
        exit_order("TAKE_PROFIT", *target);
      }
    }
  }
}

}  // namespace tolbu_sim

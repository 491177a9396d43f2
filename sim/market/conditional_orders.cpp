#include "market/conditional_orders.hpp"

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

void ConditionalOrders::match(std::string_view symbol, double last, std::int64_t now,
                              IdSource& ids, const Submit& submit) {
  // By index: a submitted order may set off more, and the vectors may grow meanwhile.
  for (std::size_t i = 0; i < stops_.size(); ++i) {
    if (stops_[i].status != "PENDING" || stops_[i].symbol != symbol) continue;
    const SimStopOrder& s = stops_[i];
    const bool hit = s.side == "B" ? last >= s.stop_price : last <= s.stop_price;
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
    submit(std::move(order));
  }
  for (std::size_t i = 0; i < brackets_.size(); ++i) {
    SimBracketOrder& b = brackets_[i];
    if (b.symbol != symbol) continue;
    const bool buy = b.side == "B";
    auto exit_order = [&](std::string status) {
      SimOrder order;
      order.order_id = ids.next('O');
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
      const bool hit =
          b.condition_type == "<=" ? last <= b.condition_price : last >= b.condition_price;
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

}  // namespace tolbu_sim

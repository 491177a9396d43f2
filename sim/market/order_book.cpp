#include "market/order_book.hpp"

#include <algorithm>

namespace tolbu_sim {

SimOrder& OrderBook::add(SimOrder order, std::int64_t now) {
  order.created_time = order.updated_time = now;
  order.status = "NEW";
  refs_.emplace(order.account_id, order.ref_order_id);
  index_[order.order_id] = orders_.size();
  orders_.push_back(std::move(order));
  return orders_.back();
}

SimOrder* OrderBook::find(std::string_view order_id) {
  auto it = index_.find(order_id);
  return it == index_.end() ? nullptr : &orders_[it->second];
}

bool OrderBook::marketable(const SimOrder& order, double price) {
  if (order.order_type != "LO") return true;
  return order.side == "B" ? price <= order.price : price >= order.price;
}

const SimTrade& OrderBook::fill(SimOrder& order, double price, std::int64_t qty, double fee,
                                std::string trade_id, std::int64_t now) {
  qty = std::clamp<std::int64_t>(qty, 0, order.qty - order.filled_qty);
  const std::int64_t filled = order.filled_qty + qty;
  order.avg_price =
      (order.avg_price * static_cast<double>(order.filled_qty) + price * static_cast<double>(qty)) /
      static_cast<double>(filled);
  order.filled_qty = filled;
  order.status = filled == order.qty ? "FILLED" : "PARTIALLY_FILLED";
  order.updated_time = now;
  order.fee += fee;
  trades_.push_back(SimTrade{std::move(trade_id), order.order_id, order.account_id, order.symbol,
                             order.side, price, qty, fee, now});
  return trades_.back();
}

std::vector<SimOrder*> OrderBook::open_orders(std::string_view symbol) {
  while (first_open_ < orders_.size() && !is_open(orders_[first_open_])) ++first_open_;
  std::vector<SimOrder*> out;
  for (std::size_t i = first_open_; i < orders_.size(); ++i) {
    SimOrder& order = orders_[i];
    if (is_open(order) && order.symbol == symbol) out.push_back(&order);
  }
  return out;
}

void OrderBook::clear() {
  orders_.clear();
  index_.clear();
  first_open_ = 0;
  refs_.clear();
  reports_.clear();
  trades_.clear();
}

}  // namespace tolbu_sim

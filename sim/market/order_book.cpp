#include "market/order_book.hpp"

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

const SimTrade& OrderBook::fill(SimOrder& order, double price, double fee, std::string trade_id,
                                std::int64_t now) {
  const std::int64_t qty = order.qty - order.filled_qty;
  order.avg_price =
      (order.avg_price * static_cast<double>(order.filled_qty) + price * static_cast<double>(qty)) /
      static_cast<double>(order.qty);
  order.filled_qty = order.qty;
  order.status = "FILLED";
  order.updated_time = now;
  order.fee += fee;
  trades_.push_back(SimTrade{std::move(trade_id), order.order_id, order.account_id, order.symbol,
                             order.side, price, qty, fee, now});
  return trades_.back();
}

std::vector<SimOrder*> OrderBook::crossed(std::string_view symbol, double price) {
  while (first_open_ < orders_.size() && orders_[first_open_].status != "NEW") ++first_open_;
  std::vector<SimOrder*> out;
  for (std::size_t i = first_open_; i < orders_.size(); ++i) {
    SimOrder& order = orders_[i];
    if (order.status == "NEW" && order.symbol == symbol && order.order_type == "LO" &&
        marketable(order, price)) {
      out.push_back(&order);
    }
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

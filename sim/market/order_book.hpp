#pragma once
// The plain orders of every account: their states, the references taken, the execution
// reports they gave and the fills they made. Matching rules: a limit order trades when the
// market price reaches it; market orders trade at once (in a replay, within each bar's
// volume share; Exchange decides how much of an order a fill takes).

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "market/orders.hpp"

namespace tolbu_sim {

class OrderBook {
 public:
  // Whether the account already used the reference for an order.
  bool has_ref(std::string_view account_id, std::string_view ref) const {
    return refs_.contains(std::pair(std::string(account_id), std::string(ref)));
  }
  // Registers a new order, NEW at `now`; its reference stays taken.
  SimOrder& add(SimOrder order, std::int64_t now);
  SimOrder* find(std::string_view order_id);
  // Whether the order trades at this price now: a market order always, a limit order when
  // the price reaches its limit.
  static bool marketable(const SimOrder& order, double price);
  // Fills qty more of the order at the price (PARTIALLY_FILLED until all of it traded); the
  // fill is kept and returned. filled_qty stays the cumulative quantity, avg_price its mean.
  const SimTrade& fill(SimOrder& order, double price, std::int64_t qty, double fee,
                       std::string trade_id, std::int64_t now);
  static bool is_open(const SimOrder& order) {
    return order.status == "NEW" || order.status == "PARTIALLY_FILLED";
  }
  // The order's state as an execution report.
  void record(const SimOrder& order) { reports_.push_back(order); }
  // The open orders of a symbol (limit and the rest of market orders), oldest first.
  std::vector<SimOrder*> open_orders(std::string_view symbol);

  const std::deque<SimOrder>& orders() const { return orders_; }
  const std::vector<SimOrder>& reports() const { return reports_; }
  const std::vector<SimTrade>& trades() const { return trades_; }
  void clear();

 private:
  std::deque<SimOrder> orders_;  // in creation order; references stay valid
  std::map<std::string, std::size_t, std::less<>> index_;
  // Keeps long runs (backtests with tens of thousands of orders) linear: every order before
  // first_open_ is final.
  std::size_t first_open_ = 0;
  std::set<std::pair<std::string, std::string>, std::less<>> refs_;
  std::vector<SimOrder> reports_;
  std::vector<SimTrade> trades_;
};

}  // namespace tolbu_sim

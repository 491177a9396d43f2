#pragma once
// Stop orders and bracket orders: orders that wait for a price, then send plain orders.

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "market/orders.hpp"

namespace tolbu_sim {

class ConditionalOrders {
 public:
  // Sends a plain order on a condition's behalf; answers it as placed (possibly filled).
  using Submit = std::function<SimOrder&(SimOrder)>;

  bool has_stop_ref(std::string_view account_id, std::string_view ref) const;
  void add_stop(SimStopOrder stop) { stops_.push_back(std::move(stop)); }
  void add_bracket(SimBracketOrder bracket) { brackets_.push_back(std::move(bracket)); }
  SimStopOrder* find_stop(std::string_view order_id);
  SimBracketOrder* find_bracket(std::string_view order_id);

  // What the price of a symbol now sets off: triggered stops send their order, brackets
  // their entry, then their take-profit or stop-loss exit.
  void match(std::string_view symbol, double price, std::int64_t now, IdSource& ids,
             const Submit& submit);

  const std::vector<SimStopOrder>& stops() const { return stops_; }
  const std::vector<SimBracketOrder>& brackets() const { return brackets_; }
  void clear() {
    stops_.clear();
    brackets_.clear();
  }

 private:
  std::vector<SimStopOrder> stops_;
  std::vector<SimBracketOrder> brackets_;
};

}  // namespace tolbu_sim

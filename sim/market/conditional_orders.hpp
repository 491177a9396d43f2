#pragma once
// Stop orders and bracket orders: orders that wait for a price, then send plain orders.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "market/orders.hpp"

namespace tolbu_sim {

// The prices a symbol went through since the last look: one price live (open = high = low),
// a whole bar in a replay step.
struct PriceRange {
  double open = 0, high = 0, low = 0;
  static PriceRange at(double price) { return {price, price, price}; }
};

class ConditionalOrders {
 public:
  // Sends a plain order on a condition's behalf; it trades against `reference` (a market
  // order there with the slippage, a limit order when that price reaches it). Answers the
  // order as placed (possibly filled, possibly refused).
  using Submit = std::function<SimOrder&(SimOrder order, double reference)>;

  // Which conditions a look sets off: those that trade against the strategy (stops and
  // stop-losses) and those that trade for it (bracket entries and take-profits).
  enum Kinds : unsigned { kAdverse = 1, kFavourable = 2, kAll = 3 };

  bool has_stop_ref(std::string_view account_id, std::string_view ref) const;
  void add_stop(SimStopOrder stop) { stops_.push_back(std::move(stop)); }
  void add_bracket(SimBracketOrder bracket) { brackets_.push_back(std::move(bracket)); }
  SimStopOrder* find_stop(std::string_view order_id);
  SimBracketOrder* find_bracket(std::string_view order_id);

  // What the prices of a symbol set off: triggered stops send their order, brackets their
  // entry, then their take-profit or stop-loss exit. Each order trades at the price where
  // its condition was met: the condition's own price, or the open when the range opened
  // beyond it (a gap). Of a bracket's exits the stop-loss is looked at first.
  void match(std::string_view symbol, const PriceRange& range, std::int64_t now, IdSource& ids,
             const Submit& submit, unsigned kinds = kAll);
  // A plain order's change: a bracket whose entry filled completely arms its exits; one whose
  // entry ended otherwise ends with it.
  void on_order(const SimOrder& order, std::int64_t now);

  const std::vector<SimStopOrder>& stops() const { return stops_; }
  const std::vector<SimBracketOrder>& brackets() const { return brackets_; }
  void clear() {
    stops_.clear();
    brackets_.clear();
    entries_.clear();
  }

 private:
  std::vector<SimStopOrder> stops_;
  std::vector<SimBracketOrder> brackets_;
  // Brackets waiting for their entry's fill, by the entry's order id: every report looks
  // here, so it is not a scan of every bracket.
  std::map<std::string, std::size_t, std::less<>> entries_;
};

}  // namespace tolbu_sim

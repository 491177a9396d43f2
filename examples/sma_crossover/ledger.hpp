#pragma once
// What the strategy has done so far: its orders, its finished trades and a snapshot of the
// market and the open position. The strategy writes it on the event loop; the control API
// reads it on its own thread, so every member takes the one mutex and answers copies.

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tolbu_sdk/strategy/position.hpp"
#include "tolbu_sdk/types/records.hpp"

namespace sma_crossover {

// Whether an order's status is final: filled, cancelled or rejected.
bool is_final(const std::string& status);

// The figures of the final report and of "/report".
struct Summary {
  std::size_t trades = 0;
  std::size_t wins = 0;
  std::size_t losses = 0;
  double total_pnl = 0.0;
  double best_trade = 0.0;
  double worst_trade = 0.0;
  std::size_t orders = 0;
  std::size_t filled_orders = 0;
  std::size_t rejected_orders = 0;  // refused by the back end, or cancelled unfilled

  double win_rate() const { return trades == 0 ? 0.0 : 100.0 * wins / trades; }
};

// The live view shown on the progress line.
struct Snapshot {
  std::string market_time;  // ISO text of the newest bar, "" before the first one
  double price = 0.0;
  std::string position;  // "FLAT", "LONG 1@1301.2"
  double unrealized_pnl = 0.0;
  double realized_pnl = 0.0;
  std::size_t trades = 0;
};

class Ledger {
 public:
  explicit Ledger(std::string account_id);

  // An order this strategy placed, or a later state of it. A final state (FILLED, CANCELLED,
  // REJECTED) is never replaced by an earlier one arriving late.
  void record_order(const tolbu_sdk::types::OrderData& order);
  // A placement the back end refused: there is no order to show, only the count.
  void record_rejection();
  void record_closed(const tolbu_sdk::strategy::ClosedPosition& closed);
  void set_market(std::string market_time, double price);
  void set_position(const tolbu_sdk::strategy::Position* open);

  // Orders in the back end's layout, oldest first, filtered when a filter is given.
  boost::json::array orders(const std::optional<std::string>& account_id,
                            const std::optional<std::string>& symbol) const;
  // The finished trades (one per closed position), oldest first.
  boost::json::array trades(const std::optional<std::string>& account_id) const;
  // {"metrics": {...}, "equity_curve": [{"time", "pnl"}, ...], "open_position": ... or null}
  boost::json::object report() const;
  Summary summary() const;
  Snapshot snapshot() const;
  std::vector<tolbu_sdk::strategy::ClosedPosition> closed_positions() const;
  // Realised plus unrealised result, kept up to date as trades close (cheap per bar).
  double total_pnl() const;
  bool in_position() const;

 private:
  Summary summary_locked() const;

  mutable std::mutex mutex_;
  std::string account_id_;
  std::vector<tolbu_sdk::types::OrderData> orders_;
  std::map<std::string, std::size_t> order_index_;
  std::size_t rejections_ = 0;
  std::vector<tolbu_sdk::strategy::ClosedPosition> closed_;
  std::optional<tolbu_sdk::strategy::Position> open_;
  std::string market_time_;
  double price_ = 0.0;
  double realized_ = 0.0;
};

}  // namespace sma_crossover

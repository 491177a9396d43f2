#pragma once
// The trading logic of the example: a fast and a slow simple moving average of closing
// prices; the fast one crossing above the slow one buys, crossing below sells. Each position
// carries a take profit and a stop loss sized by the average true range (ATR); the stop
// trails the best price seen at the same distance. An opposite crossover closes the position
// and opens the other way.
//
// Everything here runs on the strategy's event loop: the stream's callbacks call on_candle,
// on_stat, on_depth and on_execution_report; orders go out through OrderService (blocking
// REST calls, short on a local back end); fills come back as execution reports.

#include <boost/json/value.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ledger.hpp"
#include "params.hpp"
#include "tolbu_sdk/features/indicators.hpp"
#include "tolbu_sdk/features/orders.hpp"
#include "tolbu_sdk/strategy/position.hpp"
#include "tolbu_sdk/strategy/symbol.hpp"
#include "tolbu_sdk/types/records.hpp"
#include "tolbu_sdk/utils/journal.hpp"

namespace sma_crossover {

class SmaCrossover {
 public:
  SmaCrossover(Params params, tolbu_sdk::features::OrderService& orders, Ledger& ledger);

  const Params& params() const { return params_; }
  tolbu_sdk::strategy::Symbol& symbol() { return symbol_; }
  const tolbu_sdk::strategy::Position* position() const {
    return position_ ? &*position_ : nullptr;
  }

  // Candle history, oldest first: fills the bar history and warms the indicators up, so that
  // the first live bar can already signal. The newest candle may still be forming.
  void load_history(const std::vector<tolbu_sdk::types::Candle>& candles);

  // Stream callbacks.
  void on_candle(const tolbu_sdk::types::Candle& candle);
  void on_stat(const tolbu_sdk::types::ProductStat& stat);
  void on_depth(const tolbu_sdk::types::Depth& depth);
  void on_execution_report(const boost::json::value& report);
  // The stream could not recover what it missed on `channel`: order outcomes come from REST.
  void reconcile(std::string_view channel);

  // Closes any open position with a market order and cancels a resting entry (shutdown).
  void flatten(std::string_view reason);
  // Whether an order of this strategy still waits for its outcome.
  bool has_pending_orders() const { return !pending_.empty(); }

 private:
  enum class Purpose { ENTRY, EXIT };
  struct Pending {
    Purpose purpose;
    tolbu_sdk::strategy::PositionSide side;  // of the position opened or closed
    double atr;                              // at entry, sizes the stops
    std::int64_t bars_waited = 0;
  };

  void on_bar_closed(const tolbu_sdk::strategy::Bar& bar);
  void on_price(double price);
  void enter(tolbu_sdk::strategy::PositionSide side, double atr, std::string_view reason);
  void exit(std::string_view reason);
  // Files a placement answer; an order that already has its outcome is handled at once.
  void track(const tolbu_sdk::types::OrderResponse& answer, Pending pending);
  // Sends an order under a ref id of ours. When its answer is lost on the way back, the order
  // may or may not exist: it is looked up by that ref id before anything else is sent.
  void send(std::string_view side, double price, std::int64_t qty, std::string_view type,
            Pending pending);
  // False while an order's fate is still unknown (the look-up failed too): no new order then.
  bool settle_uncertain();
  void exit_failed();
  void apply(const tolbu_sdk::types::OrderData& order);
  void opened(const Pending& pending, const tolbu_sdk::types::OrderData& order);
  void closed(const tolbu_sdk::types::OrderData& order);
  void cancel_stale_entries();
  void cancel(const std::string& order_id);

  Params params_;
  tolbu_sdk::features::OrderService& orders_;
  Ledger& ledger_;
  tolbu_sdk::utils::StrategyLogger log_;
  tolbu_sdk::strategy::Symbol symbol_;

  tolbu_sdk::features::indicators::SMA fast_;
  tolbu_sdk::features::indicators::SMA slow_;
  tolbu_sdk::features::indicators::ATR atr_;

  std::optional<tolbu_sdk::strategy::Position> position_;
  std::map<std::string, Pending> pending_;                       // by order id
  std::optional<tolbu_sdk::strategy::PositionSide> reverse_to_;  // entry after the exit fills
  std::set<std::string> known_;  // every order id this strategy placed
  bool exiting_ = false;         // a closing order is in flight
  bool hold_exits_ = false;      // a closing order failed: wait for the next bar to retry
  std::int64_t position_count_ = 0;
  std::string ref_prefix_;  // this run's prefix of the ref ids
  std::int64_t ref_count_ = 0;
  struct Uncertain {
    std::string ref;
    Pending pending;
  };
  std::optional<Uncertain> uncertain_;
};

}  // namespace sma_crossover

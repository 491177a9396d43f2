#pragma once
// The sim's exchange: the market clock, the live market, and accounts with orders, stop
// orders, bracket orders, execution reports and trades. Everything it publishes goes to the
// registered observers under the full channel names the streaming client subscribes to:
//   market:OHLCV:<symbol>:<resolution>   forming candle of each resolution, every tick
//   market:Depth:<symbol>                five levels a side, every tick
//   market:ProductStat:<symbol>          session statistics, every tick
//   market:ProductInfo:<symbol>          trading rules, every 25 ticks
//   market:TradeLog:<symbol>             each market print and each fill
//   order:OrderExecutionReport:<account> an order's state after every change
// (type names from tolbu_sdk::DataTypes). Payloads have the layouts of tolbu_sdk::types.
// Not thread-safe: it lives on the sim's one io_context thread.

#include "market/market.hpp"
#include "options.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tolbu_sim {

using ExchangeObserver =
    std::function<void(std::string_view channel, const boost::json::value& payload)>;

// Resolutions (seconds) whose forming candles are published every tick.
inline constexpr int kLiveResolutions[] = {1, 60, 300, 900, 3600, 86400};

struct SimOrder {
  std::string order_id, ref_order_id, account_id, symbol, side, order_type;
  double price = 0;
  std::int64_t qty = 0, filled_qty = 0;
  double avg_price = 0;
  std::string status;  // NEW, FILLED, CANCELLED, REJECTED
  std::int64_t created_time = 0, updated_time = 0;
  std::string message;
  double fee = 0;  // charged so far, in the reports for the client's accounting
  boost::json::object to_json() const;  // the OrderData layout
};

struct SimTrade {
  std::string trade_id, order_id, account_id, symbol, side;
  double price = 0;
  std::int64_t qty = 0;
  double fee = 0;
  std::int64_t trade_time = 0;
  boost::json::object to_json() const;  // the Trade layout
};

struct SimStopOrder {
  std::string order_id, ref_order_id, account_id, symbol, side;
  double stop_price = 0;
  std::int64_t qty = 0;
  std::optional<double> limit_price;
  std::string status;  // PENDING, TRIGGERED, CANCELLED
  std::string triggered_order_id;
  std::int64_t created_time = 0, updated_time = 0;
  boost::json::object to_json() const;
};

struct SimBracketOrder {
  std::string order_id, account_id, symbol, side, order_type = "LO", condition_type;
  std::int64_t quantity = 0;
  double condition_price = 0, take_profit_price = 0, stop_loss_price = 0;
  // PENDING (waiting for the entry), ACTIVE (entry filled, exits armed), TAKE_PROFIT,
  // STOP_LOSS, CANCELLED
  std::string status;
  std::string entry_order_id, exit_order_id;
  std::int64_t created_time = 0, updated_time = 0;
  boost::json::object to_json() const;
};

struct SimPosition {
  std::int64_t qty = 0;  // signed: short below zero
  double avg_price = 0;
  double realized_pnl = 0;
};

struct SimAccount {
  std::string account_id;
  double cash = 0;
  std::map<std::string, SimPosition, std::less<>> positions;
};

// The outcome of a request that changes orders: an HTTP status and the answer's JSON.
struct ExchangeResult {
  int status = 200;
  boost::json::value body;
};

class Exchange {
 public:
  explicit Exchange(const SimOptions& options);

  // Observers get every event, on the io_context thread; the id unsubscribes.
  std::size_t subscribe(ExchangeObserver observer);
  void unsubscribe(std::size_t id);
  bool has_observers() const { return !observers_.empty(); }
  void publish(std::string_view channel, const boost::json::value& payload);

  // Market clock, epoch ms: starts at --start-ms (or now) and runs at --speed.
  std::int64_t now_ms() const;
  void advance(std::int64_t ms);
  void set_time(std::int64_t ms);
  double speed() const { return options_.speed; }

  Market& market() { return market_; }

  // One live tick at the current clock: prices, candles, depth, statistics, trade prints,
  // then order matching.
  void tick();
  // Matches resting orders, stop orders and brackets of a symbol against its price now.
  void match_orders(std::string_view symbol) { match(symbol); }
  // Sets the last price of a listed symbol from now on, then matches orders.
  bool set_price(std::string_view symbol, double price, std::string& message);

  // Orders (REST side). Texts as they came in the path or body; validation answers 4xx.
  ExchangeResult place_order(std::string_view ref_order_id, std::string_view account_id,
                             std::string_view symbol, std::string_view side, std::string_view price,
                             std::string_view qty, std::string_view order_type);
  ExchangeResult cancel_order(std::string_view order_id);
  ExchangeResult place_stop_order(const boost::json::object& body);
  ExchangeResult place_bracket_order(const boost::json::object& body);

  struct OrderFilter {
    std::optional<std::string> account_id, symbol, status;
    std::optional<std::int64_t> start_time, end_time;
  };
  boost::json::array orders(const OrderFilter& filter) const;
  boost::json::array execution_reports() const;
  boost::json::array trades(const OrderFilter& filter) const;
  boost::json::array stop_orders(std::optional<std::string> account_id) const;
  boost::json::array bracket_orders(std::optional<std::string> account_id) const;
  boost::json::array accounts();

  // Forgets orders, trades, positions and price overrides.
  void reset();

  // Channel names.
  static std::string candle_channel(std::string_view symbol, int resolution_s);
  static std::string market_channel(std::string_view data_type, std::string_view symbol);
  static std::string order_channel(std::string_view account_id);

  boost::json::object product_info_json(const Instrument& instrument, std::int64_t at_ms);
  boost::json::object product_master_json(const Instrument& instrument, std::int64_t at_ms);

 private:
  SimAccount& account(std::string_view account_id);
  double last_price(std::string_view symbol);
  std::string next_id(char prefix);
  SimOrder& submit(SimOrder order);  // validates nothing; fills what is marketable
  void fill(SimOrder& order, double price);
  void report(const SimOrder& order);
  void match(std::string_view symbol);
  void publish_market(const Instrument& instrument, std::int64_t now);

  const SimOptions& options_;
  Market market_;
  std::chrono::steady_clock::time_point started_;
  std::int64_t start_ms_ = 0;
  std::int64_t offset_ms_ = 0;
  std::uint64_t ticks_ = 0;
  std::map<char, std::uint64_t> id_counters_;
  std::size_t next_observer_ = 1;
  std::vector<std::pair<std::size_t, ExchangeObserver>> observers_;
  std::map<std::string, SimAccount, std::less<>> accounts_;
  std::deque<SimOrder> orders_;  // in creation order; references stay valid
  std::map<std::string, std::size_t, std::less<>> order_index_;
  // Indexes that keep long runs (backtests with tens of thousands of orders) linear: every
  // order before first_open_ is final, and the account and reference of every order.
  std::size_t first_open_ = 0;
  std::set<std::pair<std::string, std::string>, std::less<>> refs_;
  std::vector<boost::json::object> reports_;
  std::vector<SimTrade> trades_;
  std::vector<SimStopOrder> stop_orders_;
  std::vector<SimBracketOrder> brackets_;
};

}  // namespace tolbu_sim

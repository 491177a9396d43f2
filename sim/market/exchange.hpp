#pragma once
// The sim's exchange: it joins the market clock, the live market, the order book, the
// conditional orders and the accounts, checks requests, and publishes. Everything it publishes
// goes to the
// registered observers under the full channel names the streaming client subscribes to:
//   market:OHLCV:<symbol>:<resolution>   forming candle of each resolution, every tick
//   market:Depth:<symbol>                five levels a side, every tick
//   market:ProductStat:<symbol>          session statistics, every tick
//   market:ProductInfo:<symbol>          trading rules, every 25 ticks
//   market:TradeLog:<symbol>             each market print and each fill
//   order:OrderExecutionReport:<account> an order's state after every change
// (type names from tolbu_sdk::DataTypes). Payloads have the layouts of tolbu_sdk::types.
// Not thread-safe: it lives on the sim's one io_context thread.

#include "market/accounts.hpp"
#include "market/clock.hpp"
#include "market/conditional_orders.hpp"
#include "market/market.hpp"
#include "market/order_book.hpp"
#include "market/orders.hpp"
#include "options.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolbu_sim {

using ExchangeObserver =
    std::function<void(std::string_view channel, const boost::json::value& payload)>;

// Resolutions (seconds) whose forming candles are published every tick.
inline constexpr int kLiveResolutions[] = {1, 60, 300, 900, 3600, 86400};

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
  std::int64_t now_ms() const { return clock_.now_ms(); }
  void advance(std::int64_t ms) { clock_.advance(ms); }
  void set_time(std::int64_t ms) { clock_.set_time(ms); }
  double speed() const { return clock_.speed(); }

  Market& market() { return market_; }

  // One live tick at the current clock: prices, candles, depth, statistics, trade prints,
  // then order matching.
  void tick();
  // Matches resting orders, stop orders and brackets of a symbol against its price now.
  void match_orders(std::string_view symbol) { match(symbol); }

  // Replay: bars of resolution_s seconds; from then on no fill takes more than the share of
  // its bar's volume (--fill-volume-share), and accounts open with `capital` in cash.
  void begin_replay(int resolution_s, std::optional<double> capital);
  // Replay step: the bar that just closed, matched over its whole range in the conservative
  // order (stops and stop-losses, then limits, entries and take-profits, then the
  // stop-losses of brackets entered in it); then the rest of market orders trades at the
  // price now, the open of the next bar. After the last bar (`last`) nothing is left to
  // spread fills over: from then on orders fill whole, without the volume share, so that a
  // strategy's final flattening is not left hanging.
  void match_bar(std::string_view symbol, const SimCandle& bar, bool last = false);
  // Sets the last price of a listed symbol from now on, then matches orders.
  bool set_price(std::string_view symbol, double price, std::string& message);

  // Orders (REST side). Texts as they came in the path or body; validation answers 4xx.
  ExchangeResult place_order(std::string_view ref_order_id, std::string_view account_id,
                             std::string_view symbol, std::string_view side, std::string_view price,
                             std::string_view qty, std::string_view order_type);
  ExchangeResult cancel_order(std::string_view order_id);
  // Conditional orders as read from their bodies (rest/bodies.hpp); ids and states are set here.
  ExchangeResult place_stop_order(SimStopOrder stop);
  ExchangeResult place_bracket_order(SimBracketOrder bracket);

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


 private:
  double last_price(std::string_view symbol);
  // Checks the margin, then trades what is marketable at the reference (default: the last
  // price).
  SimOrder& submit(SimOrder order, std::optional<double> reference = std::nullopt);
  // Trades the order against a market price: a market order there with the slippage, a
  // limit order when it reaches it (never beyond its limit).
  void execute(SimOrder& order, double reference);
  // Fills as much of the order as the bar's volume share and the account's margin allow,
  // at the price; a rest the margin refuses is cancelled with the reason.
  void fill(SimOrder& order, double price);
  // Quantity of the bar starting at bar_start still free for fills (replay with a share).
  std::int64_t volume_left(std::string_view symbol, std::int64_t bar_start);
  // The most of qty (in lots) the account can margin at the price, and the reason when it
  // is less than qty.
  std::int64_t marginable(const SimOrder& order, std::int64_t qty, double price,
                          std::string& reason);
  void report(const SimOrder& order);
  void match(std::string_view symbol);
  void publish_market(const Instrument& instrument, std::int64_t now);

  const SimOptions& options_;
  Market market_;
  MarketClock clock_;
  std::uint64_t ticks_ = 0;
  IdSource ids_;
  std::size_t next_observer_ = 1;
  std::vector<std::pair<std::size_t, ExchangeObserver>> observers_;
  Accounts accounts_;
  OrderBook book_;
  ConditionalOrders conditional_;
  std::optional<int> bar_resolution_s_;       // replay
  std::optional<std::int64_t> bar_in_match_;  // start of the bar match_bar is matching
  bool replay_over_ = false;                  // the last bar was matched
  std::map<std::string, std::pair<std::int64_t, std::int64_t>, std::less<>> volume_used_;
};

}  // namespace tolbu_sim

#pragma once
// Open positions with profit and loss and risk-level tests, and closed-position records.
//
//   Position p("p1", "FPT", PositionSide::LONG, 100, 95.0, now_local(),
//              {.stop_loss = 93.0, .take_profit = 99.0});
//   p.update_price(last);
//   if (p.should_stop_loss() || p.should_take_profit()) { ... p.close(last); }

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/export.hpp"

// Boost.JSON's object, named for to_dict only: a strategy that never writes JSON includes none
// of Boost.JSON.
namespace boost::json {
class object;
}

namespace tolbu_sdk::strategy {

using platform::LocalDateTime;

// Whether a position gains when the price rises (LONG) or falls (SHORT).
enum class PositionSide { LONG, SHORT };

// "LONG" or "SHORT".
TOLBU_API const char* to_string(PositionSide side) noexcept;
// The side named by "LONG" or "SHORT"; any other text is a ValueError.
TOLBU_API PositionSide position_side_from(std::string_view text);
// A side compares equal to its text.
inline bool operator==(PositionSide side, std::string_view text) noexcept {
  return text == to_string(side);
}

// The optional fields of a position, for designated initialisation.
struct TOLBU_API PositionOptions {
  // Money per price point per unit.
  double point_value = 1.0;
  // The stop level, if any (see Position::should_stop_loss).
  std::optional<double> stop_loss{};
  // The take-profit level, if any.
  std::optional<double> take_profit{};
  // Whether the stop trails the best price by `trailing_stop_distance`.
  bool trailing_stop = false;
  double trailing_stop_distance = 0.0;  // in price units
  // The strategy that opened it.
  std::string algo_id{};
  // The account it is held in.
  std::string account_id{};
  // The order that opened it.
  std::string order_id{};
};

// An open position: its entry, the latest price, its result and its exit levels.
struct TOLBU_API Position {
  // The caller's identifier for it.
  std::string id;
  // The instrument.
  std::string symbol;
  // LONG or SHORT.
  PositionSide side;
  std::int64_t quantity;  // size; the side carries the direction
  // Price paid (long) or received (short) per unit.
  double entry_price;
  // When it was opened, local time.
  LocalDateTime entry_time;
  // The latest price given to update_price().
  double current_price = 0.0;
  // The result at current_price, in money.
  double unrealized_pnl = 0.0;
  // The result realised by close(), in money.
  double realized_pnl = 0.0;
  double point_value = 1.0;  // money per price point per unit
  // The stop level, if any (see should_stop_loss()).
  std::optional<double> stop_loss;
  // The take-profit level, if any (see should_take_profit()).
  std::optional<double> take_profit;
  // Whether the stop trails the best price by `trailing_stop_distance`.
  bool trailing_stop = false;
  // How far the trailing stop stays from the best price, in price units.
  double trailing_stop_distance = 0.0;
  // The highest price seen since entry.
  double highest_price = 0.0;
  // The lowest price seen since entry.
  double lowest_price = 0.0;
  // The strategy that opened it.
  std::string algo_id;
  // The account it is held in.
  std::string account_id;
  // The order that opened it.
  std::string order_id;

  // Every field in order. current_price, highest_price and lowest_price always start at
  // entry_price, whatever is passed for them.
  Position(std::string id, std::string symbol, PositionSide side, std::int64_t quantity,
           double entry_price, LocalDateTime entry_time, double current_price = 0.0,
           double unrealized_pnl = 0.0, double realized_pnl = 0.0, double point_value = 1.0,
           std::optional<double> stop_loss = std::nullopt,
           std::optional<double> take_profit = std::nullopt, bool trailing_stop = false,
           double trailing_stop_distance = 0.0, double highest_price = 0.0,
           double lowest_price = 0.0, std::string algo_id = "", std::string account_id = "",
           std::string order_id = "");
  // The usual fields first, the optional ones from `options`.
  Position(std::string id, std::string symbol, PositionSide side, std::int64_t quantity,
           double entry_price, LocalDateTime entry_time, PositionOptions options);

  // Whether it gains when the price rises.
  bool is_long() const noexcept { return side == PositionSide::LONG; }
  // Whether it gains when the price falls.
  bool is_short() const noexcept { return side == PositionSide::SHORT; }
  // quantity * current_price * point_value.
  double market_value() const noexcept {
    return static_cast<double>(quantity) * current_price * point_value;
  }
  // quantity * entry_price * point_value.
  double entry_value() const noexcept {
    return static_cast<double>(quantity) * entry_price * point_value;
  }
  // Realised plus unrealised result.
  double pnl() const noexcept { return realized_pnl + unrealized_pnl; }
  // pnl() as a percentage of entry_value() (0 when that is 0).
  double pnl_percent() const noexcept {
    const double ev = entry_value();
    return ev == 0 ? 0.0 : pnl() / ev * 100;
  }
  // Seconds from entry_time to now, local time.
  double duration() const;

  // Sets the current price, widens the extremes and recomputes the unrealised result.
  void update_price(double price) noexcept {
    current_price = price;
    if (price > highest_price) highest_price = price;
    if (price < lowest_price) lowest_price = price;
    const double move = is_long() ? price - entry_price : entry_price - price;
    unrealized_pnl = move * static_cast<double>(quantity) * point_value;
  }
  // Needs stop_loss set; with trailing_stop the level trails the best price seen by
  // trailing_stop_distance and stop_loss itself is not compared. Reaching the level triggers.
  bool should_stop_loss() const noexcept;
  // Whether current_price reached take_profit (at or above for a long, at or below for a short);
  // false without a take_profit.
  bool should_take_profit() const noexcept;
  // Realises the result at exit_price (replacing any earlier realised result), zeroes the
  // unrealised result and the quantity, and returns the result.
  double close(double exit_price) noexcept;

  // "id", "symbol", "side", "quantity", "entry_price", "entry_time" (ISO text),
  // "current_price", "unrealized_pnl", "realized_pnl", "pnl_percent", "stop_loss",
  // "take_profit", "trailing_stop", in this order.
  // Needs <boost/json/object.hpp> to be read.
  boost::json::object to_dict() const;

  // Every field equal.
  bool operator==(const Position&) const = default;
};

// The record of one finished trade.
struct TOLBU_API ClosedPosition {
  // The open position's identifier.
  std::string id;
  // The instrument.
  std::string symbol;
  // LONG or SHORT.
  PositionSide side;
  // Units traded.
  std::int64_t quantity;
  // Price per unit at entry.
  double entry_price;
  // Price per unit at exit.
  double exit_price;
  // When it was opened, local time.
  LocalDateTime entry_time;
  // When it was closed, local time.
  LocalDateTime exit_time;
  // The result in money.
  double pnl;
  double pnl_percent;  // of the entry value; 0 when that is not positive
  // Seconds between entry and exit.
  double duration_seconds;

  // Made now from an open position (call it before Position::close, which zeroes the
  // quantity); point_value defaults to the position's. The position is not changed.
  static ClosedPosition from_position(const Position& position, double exit_price,
                                      std::optional<double> point_value = std::nullopt);

  // Every field equal.
  bool operator==(const ClosedPosition&) const = default;
};

}  // namespace tolbu_sdk::strategy

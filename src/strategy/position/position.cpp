#include "tolbu_sdk/strategy/position.hpp"

#include <fmt/format.h>
#include <boost/json/object.hpp>

#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk::strategy {

const char* to_string(PositionSide side) noexcept {
  return side == PositionSide::LONG ? "LONG" : "SHORT";
}

PositionSide position_side_from(std::string_view text) {
  if (text == "LONG") return PositionSide::LONG;
  if (text == "SHORT") return PositionSide::SHORT;
  throw ValueError(fmt::format("'{}' is not a valid PositionSide", text));
}

Position::Position(std::string id, std::string symbol, PositionSide side, std::int64_t quantity,
                   double entry_price, LocalDateTime entry_time, double /*current_price*/,
                   double unrealized_pnl, double realized_pnl, double point_value,
                   std::optional<double> stop_loss, std::optional<double> take_profit,
                   bool trailing_stop, double trailing_stop_distance, double /*highest_price*/,
                   double /*lowest_price*/, std::string algo_id, std::string account_id,
                   std::string order_id)
    : id(std::move(id)),
      symbol(std::move(symbol)),
      side(side),
      quantity(quantity),
      entry_price(entry_price),
      entry_time(entry_time),
      current_price(entry_price),
      unrealized_pnl(unrealized_pnl),
      realized_pnl(realized_pnl),
      point_value(point_value),
      stop_loss(stop_loss),
      take_profit(take_profit),
      trailing_stop(trailing_stop),
      trailing_stop_distance(trailing_stop_distance),
      highest_price(entry_price),
      lowest_price(entry_price),
      algo_id(std::move(algo_id)),
      account_id(std::move(account_id)),
      order_id(std::move(order_id)) {}

Position::Position(std::string id, std::string symbol, PositionSide side, std::int64_t quantity,
                   double entry_price, LocalDateTime entry_time, PositionOptions o)
    : Position(std::move(id), std::move(symbol), side, quantity, entry_price, entry_time, 0.0, 0.0,
               0.0, o.point_value, o.stop_loss, o.take_profit, o.trailing_stop,
               o.trailing_stop_distance, 0.0, 0.0, std::move(o.algo_id), std::move(o.account_id),
               std::move(o.order_id)) {}

double Position::duration() const {
  return platform::seconds_between(entry_time, platform::now_local());
}

bool Position::should_stop_loss() const noexcept {
  if (!stop_loss) return false;
  if (trailing_stop) {
    if (is_long()) return current_price <= highest_price - trailing_stop_distance;
    return current_price >= lowest_price + trailing_stop_distance;
  }
  return is_long() ? current_price <= *stop_loss : current_price >= *stop_loss;
}

bool Position::should_take_profit() const noexcept {
  if (!take_profit) return false;
  return is_long() ? current_price >= *take_profit : current_price <= *take_profit;
}

double Position::close(double exit_price) noexcept {
  current_price = exit_price;
  const double move = is_long() ? exit_price - entry_price : entry_price - exit_price;
  const double final_pnl = move * static_cast<double>(quantity) * point_value;
  realized_pnl = final_pnl;
  unrealized_pnl = 0.0;
  quantity = 0;
  return final_pnl;
}

boost::json::object Position::to_dict() const {
  if (side != PositionSide::LONG && side != PositionSide::SHORT)
    throw ValueError(fmt::format("position {} has no valid side", id));
  boost::json::object o;
  o.reserve(13);
  o["id"] = id;
  o["symbol"] = symbol;
  o["side"] = to_string(side);
  o["quantity"] = quantity;
  o["entry_price"] = entry_price;
  o["entry_time"] = platform::iso_text(entry_time);
  o["current_price"] = current_price;
  o["unrealized_pnl"] = unrealized_pnl;
  o["realized_pnl"] = realized_pnl;
  o["pnl_percent"] = pnl_percent();
  o["stop_loss"] = stop_loss ? boost::json::value(*stop_loss) : boost::json::value(nullptr);
  o["take_profit"] = take_profit ? boost::json::value(*take_profit) : boost::json::value(nullptr);
  o["trailing_stop"] = trailing_stop;
  return o;
}

ClosedPosition ClosedPosition::from_position(const Position& position, double exit_price,
                                             std::optional<double> point_value) {
  const LocalDateTime exit_time = platform::now_local();
  const double pv = point_value.value_or(position.point_value);
  const double qty = static_cast<double>(position.quantity);
  const double move =
      position.is_long() ? exit_price - position.entry_price : position.entry_price - exit_price;
  const double pnl = move * qty * pv;
  const double entry_value = position.entry_price * qty * pv;
  const double pnl_percent = entry_value > 0 ? pnl / entry_value * 100 : 0.0;
  return ClosedPosition{position.id,
                        position.symbol,
                        position.side,
                        position.quantity,
                        position.entry_price,
                        exit_price,
                        position.entry_time,
                        exit_time,
                        pnl,
                        pnl_percent,
                        platform::seconds_between(position.entry_time, exit_time)};
}

}  // namespace tolbu_sdk::strategy

#pragma once
// The side of an order or a fill, one enum for the three spellings in use: the back end's
// "B"/"S", the readable "BUY"/"SELL" (any case) and the position sides LONG/SHORT.
//
//   Side side = parse_side(report.side);         // "B" -> Side::BUY
//   orders.place_order(symbol, to_backend(side), price, qty, ...);

#include <string_view>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/strategy/position.hpp"

// The strategy kit: a class with hooks, run live or over a replay, with its orders, fills and
// portfolio.
namespace tolbu_sdk::kit {

// Buying or selling.
enum class Side { BUY, SELL };

// "B", "S", "BUY", "SELL" in any case; any other text is a ValueError naming it.
TOLBU_API Side parse_side(std::string_view text);
// The back end's spelling: "B" or "S".
TOLBU_API std::string_view to_backend(Side side) noexcept;
// "BUY" or "SELL".
TOLBU_API std::string_view to_string(Side side) noexcept;

// The other side.
constexpr Side opposite(Side side) noexcept { return side == Side::BUY ? Side::SELL : Side::BUY; }
// +1 for a buy, -1 for a sell: the sign of the position change.
constexpr int sign(Side side) noexcept { return side == Side::BUY ? 1 : -1; }
// The side of the position a fill of this side opens: BUY opens LONG.
constexpr strategy::PositionSide position_side(Side side) noexcept {
  return side == Side::BUY ? strategy::PositionSide::LONG : strategy::PositionSide::SHORT;
}
// The side that opens a position of this side, and the one that closes it.
constexpr Side opening_side(strategy::PositionSide side) noexcept {
  return side == strategy::PositionSide::LONG ? Side::BUY : Side::SELL;
}
// The side that closes a position of this side.
constexpr Side closing_side(strategy::PositionSide side) noexcept {
  return opposite(opening_side(side));
}

}  // namespace tolbu_sdk::kit

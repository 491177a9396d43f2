#include "tolbu_sdk/strategy/symbol.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk::strategy {

namespace {

std::vector<DepthPair> top_levels(const std::vector<types::DepthLevel>& side) {
  std::vector<DepthPair> out;
  const std::size_t n = std::min(side.size(), Symbol::DEPTH_LEVELS);
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.emplace_back(side[i].price, side[i].qty);
  return out;
}

// Truncation toward zero to a 64-bit integer; the cast alone is undefined outside that range.
std::int64_t truncate(double value, const char* what) {
  const double t = std::trunc(value);
  if (!(t >= -9223372036854775808.0 && t < 9223372036854775808.0))
    throw ValueError(fmt::format("cannot convert {} {} to an integer", what, value));
  return static_cast<std::int64_t>(t);
}

}  // namespace

void Symbol::update_from_stat(const types::ProductStat& stat) {
  last_price = stat.last_price;
  bid = stat.bid_price;
  ask = stat.ask_price;
  volume = stat.total_traded_qty;
  open_price = stat.open_price;
  high_price = stat.high_price;
  low_price = stat.low_price;
  close_price = stat.close_price;
  change = stat.change;
  change_pct = stat.change_pct;
}

void Symbol::update_from_info(const types::ProductInfo& info) {
  tick_size = info.tick_size;
  lot_size = info.lot_size;
  currency = info.currency;
}

void Symbol::update_from_master(const types::ProductMaster& master) {
  if (master.info) update_from_info(*master.info);
}

void Symbol::update_from_depth(const types::Depth& depth) {
  bid_depth = top_levels(depth.bid_price_depth);
  ask_depth = top_levels(depth.ask_price_depth);
  if (!depth.bid_price_depth.empty()) bid = depth.bid_price_depth.front().price;
  if (!depth.ask_price_depth.empty()) ask = depth.ask_price_depth.front().price;
}

double Symbol::normalize_price(double price) const {
  if (tick_size <= 0) return price;
  if (!std::isfinite(price)) throw ValueError(fmt::format("cannot normalize price {}", price));
  // nearbyint rounds halves to even in the default rounding mode.
  const double steps = std::nearbyint(price / tick_size);
  if (!std::isfinite(steps))
    throw ValueError(fmt::format("price {} is out of range for tick size {}", price, tick_size));
  return steps * tick_size;
}

std::int64_t Symbol::normalize_quantity(double qty) const {
  if (!std::isfinite(qty)) throw ValueError(fmt::format("cannot normalize quantity {}", qty));
  if (lot_size <= 0) return truncate(qty, "quantity");
  const std::int64_t steps = truncate(qty / lot_size, "quantity");
  std::int64_t rounded = 0;
  if (__builtin_mul_overflow(steps, static_cast<std::int64_t>(lot_size), &rounded))
    throw ValueError(fmt::format("quantity {} is out of range", qty));
  if (rounded < min_qty) return 0;
  if (rounded > max_qty) rounded = max_qty;
  return rounded;
}

}  // namespace tolbu_sdk::strategy

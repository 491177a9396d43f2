#include "tolbu_sdk/kit/order_rules.hpp"

#include <fmt/format.h>

#include <cmath>

#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk::kit {

void check_order(const strategy::Symbol& symbol, std::int64_t qty, double price) {
  const auto& name = symbol.name;
  if (qty <= 0) throw ValueError(fmt::format("Quantity {} of {} must be positive", qty, name));
  if (symbol.lot_size > 0 && qty % symbol.lot_size != 0) {
    throw ValueError(fmt::format("Quantity {} of {} is not a multiple of its lot size {}", qty,
                                 name, symbol.lot_size));
  }
  if (qty < symbol.min_qty) {
    throw ValueError(
        fmt::format("Quantity {} of {} is below its minimum of {}", qty, name, symbol.min_qty));
  }
  if (qty > symbol.max_qty) {
    throw ValueError(
        fmt::format("Quantity {} of {} is above its maximum of {}", qty, name, symbol.max_qty));
  }
  if (price == 0.0) return;  // a market order
  if (!std::isfinite(price) || price < 0.0) {
    throw ValueError(fmt::format("Price {} of {} must be finite and positive", price, name));
  }
  if (symbol.tick_size > 0.0) {
    const double ticks = price / symbol.tick_size;
    if (std::abs(ticks - std::round(ticks)) > 1e-6) {
      throw ValueError(fmt::format("Price {} of {} is not on its tick of {}", price, name,
                                   symbol.tick_size));
    }
  }
}

}  // namespace tolbu_sdk::kit

#pragma once
// The strategy's picture of one instrument: trading rules, market state and bar history.
//
//   tolbu_sdk::strategy::Symbol fpt{.name = "FPT", .tick_size = 0.05, .lot_size = 100};
//   fpt.update_from_stat(stat);
//   double price = fpt.normalize_price(95.03);        // 95.05
//   std::int64_t qty = fpt.normalize_quantity(250);   // 200

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/strategy/bar.hpp"
#include "tolbu_sdk/strategy/bars.hpp"
#include "tolbu_sdk/types/records_fwd.hpp"

namespace tolbu_sdk::strategy {

// One (price, quantity) level of the order book.
using DepthPair = std::pair<double, double>;

// One instrument as the strategy sees it: trading rules, latest market state and bars.
struct TOLBU_API Symbol {
  // The instrument's code ("FPT").
  std::string name;
  // Smallest price step.
  double tick_size = 0.01;
  // Quantity step.
  int lot_size = 1;
  // Smallest order quantity.
  int min_qty = 1;
  // Largest order quantity.
  int max_qty = 1000000;
  int digits = 2;  // price decimals, held for the strategy
  // Currency of prices.
  std::string currency = "VND";
  // Money per price point per unit.
  double point_value = 1.0;
  // Share of the position value required as margin.
  double margin_rate = 1.0;
  // Best bid price.
  double bid = 0.0;
  // Best ask price.
  double ask = 0.0;
  // Last traded price.
  double last_price = 0.0;
  double volume = 0.0;  // total traded quantity from the statistics
  // Session open price.
  double open_price = 0.0;
  // Session high price.
  double high_price = 0.0;
  // Session low price.
  double low_price = 0.0;
  // Session close price.
  double close_price = 0.0;
  // Change against the reference price.
  double change = 0.0;
  // Change against the reference price, in per cent.
  double change_pct = 0.0;
  // The bar history.
  Bars bars{};
  std::vector<DepthPair> bid_depth{};  // up to five levels, best first
  std::vector<DepthPair> ask_depth{};  // up to five levels, best first

  // Depth levels kept per side.
  static constexpr std::size_t DEPTH_LEVELS = 5;

  // Ask minus bid.
  double spread() const noexcept { return ask - bid; }
  // Midpoint of bid and ask.
  double mid_price() const noexcept { return (bid + ask) / 2; }
  // Spread in per cent of the mid price; 0 when the mid price is not positive.
  double spread_pct() const noexcept {
    const double mid = mid_price();
    return mid > 0 ? spread() / mid * 100 : 0.0;
  }

  // Copy the record's values unchanged (the records are in tolbu_sdk/types/records.hpp).
  void update_from_stat(const types::ProductStat& stat);
  // Copies the trading rules of `info` (tick, lot and currency).
  void update_from_info(const types::ProductInfo& info);
  // Uses master.info when present; does nothing otherwise.
  void update_from_master(const types::ProductMaster& master);
  // Keeps the first five levels of each side; an empty side leaves bid or ask as it was.
  void update_from_depth(const types::Depth& depth);

  // The price on the tick grid: the nearest step (halves to even), returned as the double
  // nearest to the decimal multiple of the tick, so 1262.34 on a 0.1 tick is 1262.3 and its
  // text carries no floating-point residue. The result does not depend on the floating-point
  // rounding mode. Unchanged when tick_size <= 0; with a positive tick, a price that is not
  // finite or too large for the grid is a ValueError.
  double normalize_price(double price) const;
  // Whole lots, rounded toward zero; 0 below min_qty, max_qty above it (infinities clamp
  // too). With lot_size <= 0 the quantity truncated toward zero, no limits, saturated at the
  // 64-bit range. Only NaN is a ValueError.
  std::int64_t normalize_quantity(double qty) const;

  // Every field equal, the bars included.
  bool operator==(const Symbol&) const = default;
};

}  // namespace tolbu_sdk::strategy

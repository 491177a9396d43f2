#include "tolbu_sdk/strategy/symbol.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/types/records.hpp"

namespace tolbu_sdk::strategy {

namespace {

std::vector<DepthPair> top_levels(const std::vector<types::DepthLevel>& side) {
  std::vector<DepthPair> out;
  const std::size_t n = std::min(side.size(), Symbol::DEPTH_LEVELS);
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.emplace_back(side[i].price, side[i].qty);
  return out;
}

constexpr double EXACT_INTEGER_LIMIT = 9007199254740992.0;  // 2^53

// a / b rounded to nearest, whatever the current rounding mode: the hardware quotient is
// within one ulp in any mode, and the remainder of a faithful quotient is exact under fma,
// so the nearer of the two neighbours can be picked exactly.
double divide_nearest(double a, double b) {
  const double q = a / b;
  if (!std::isfinite(q) || q == 0) return q;
  const double r = std::fma(-q, b, a);
  if (r == 0) return q;
  const double other = std::nextafter(q, (r > 0) == (b > 0) ? HUGE_VAL : -HUGE_VAL);
  const double r_other = std::fma(-other, b, a);
  const double d = std::fabs(r), d_other = std::fabs(r_other);
  if (d != d_other) return d < d_other ? q : other;
  std::int64_t bits = 0;  // a tie: the even significand wins
  std::memcpy(&bits, &q, sizeof bits);
  return (bits & 1) == 0 ? q : other;
}

// Half to even without nearbyint, which follows the rounding mode.
double round_half_even(double x) {
  const double low = std::floor(x);
  const double frac = x - low;  // exact
  if (frac < 0.5) return low;
  if (frac > 0.5) return low + 1;
  return std::fmod(low, 2.0) == 0 ? low : low + 1;
}

// The tick as mantissa * 10^-decimals, read from its shortest round-trip text, so 0.1 is
// 1 * 10^-1 and 0.05 is 5 * 10^-2. False for ticks with more decimals than a double holds
// exactly as a power of ten.
bool decimal_tick(double tick, std::int64_t& mantissa, int& decimals) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, tick, std::chars_format::scientific);
  if (res.ec != std::errc{}) return false;
  const std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
  const auto e = text.find('e');
  if (e == std::string_view::npos) return false;
  std::int64_t digits = 0;
  int fraction_digits = 0;
  bool after_point = false;
  for (const char c : text.substr(0, e)) {
    if (c == '.') {
      after_point = true;
      continue;
    }
    digits = digits * 10 + (c - '0');
    if (after_point) ++fraction_digits;
  }
  int exponent = 0;
  const auto exp_text = text.substr(e + 1);
  std::from_chars(exp_text.data() + (exp_text.front() == '+' ? 1 : 0),
                  exp_text.data() + exp_text.size(), exponent);
  decimals = fraction_digits - exponent;
  // The mantissa and whole ticks (10, 100, ...) must be exact doubles, and 10^22 is the
  // largest exact power of ten.
  if (static_cast<double>(digits) >= EXACT_INTEGER_LIMIT || decimals > 22 ||
      (decimals < 0 && tick >= EXACT_INTEGER_LIMIT))
    return false;
  for (; decimals < 0; ++decimals) digits *= 10;
  mantissa = digits;
  return true;
}

// steps * tick as the double nearest to the decimal product, so 12623 steps of 0.1 give
// 1262.3 and not 1262.3000000000002.
double grid_price(double steps, double tick) {
  std::int64_t mantissa = 0;
  int decimals = 0;
  if (decimal_tick(tick, mantissa, decimals)) {
    const double units = steps * static_cast<double>(mantissa);  // exact below 2^53
    if (std::fabs(units) < EXACT_INTEGER_LIMIT && std::fabs(steps) < EXACT_INTEGER_LIMIT) {
      double scale = 1;
      for (int i = 0; i < decimals; ++i) scale *= 10;  // exact up to 10^22
      return divide_nearest(units, scale);
    }
  }
  // No decimal grid a double can hold: the plain product, rounded to nearest.
  const double p = steps * tick;
  const double err = std::fma(steps, tick, -p);
  if (err == 0 || !std::isfinite(p)) return p;
  const double other = std::nextafter(p, err > 0 ? HUGE_VAL : -HUGE_VAL);
  return std::fabs(std::fma(steps, tick, -other)) < std::fabs(err) ? other : p;
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
  const double steps = round_half_even(divide_nearest(price, tick_size));
  if (!std::isfinite(steps))
    throw ValueError(fmt::format("price {} is out of range for tick size {}", price, tick_size));
  return grid_price(steps, tick_size);
}

std::int64_t Symbol::normalize_quantity(double qty) const {
  if (std::isnan(qty)) throw ValueError("cannot normalize quantity nan");
  if (lot_size <= 0) {
    // Saturate: a double beyond the 64-bit range has no integer to truncate to.
    const double t = std::trunc(qty);
    if (t >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (t < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(t);
  }
  // The limits are ints, so comparing in double is exact where it matters and infinities
  // clamp like any other value.
  const double rounded = std::trunc(divide_nearest(qty, lot_size)) * lot_size;
  if (rounded < min_qty) return 0;
  if (rounded > max_qty) return max_qty;
  return static_cast<std::int64_t>(rounded);
}

}  // namespace tolbu_sdk::strategy

#pragma once
// One OHLCV bar of one instrument, as strategies and indicators work with it.

#include <cstdlib>
#include <string>

#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/types/records_fwd.hpp"

// What a strategy keeps per instrument: bars, bar histories, symbols and positions.
namespace tolbu_sdk::strategy {

using platform::LocalDateTime;

// A plain value: no reference to the candle it came from. Nothing checks that high >= low;
// an inconsistent bar simply yields negative ranges or wicks.
struct TOLBU_API Bar {
  // The instrument's code.
  std::string symbol;
  LocalDateTime time;  // local time of the bar, no zone
  // Opening price.
  double open;
  // Highest price.
  double high;
  // Lowest price.
  double low;
  // Closing price.
  double close;
  // Volume traded.
  double volume;

  // time is the local date-time of candle.time milliseconds after the epoch (fractions of a
  // second kept); prices and volume are copied unchanged.
  static Bar from_candle(const types::Candle& candle, std::string symbol);

  // Whether it closed above its open.
  bool is_bullish() const noexcept { return close > open; }
  // Whether it closed below its open.
  bool is_bearish() const noexcept { return close < open; }
  // The distance between open and close.
  double body() const noexcept { return std::abs(close - open); }
  // High minus low.
  double range() const noexcept { return high - low; }
  // std::max and std::min spelled out: `<algorithm>` would double this header's cost.
  double upper_wick() const noexcept { return high - (close < open ? open : close); }
  // The lower of open and close, minus the low.
  double lower_wick() const noexcept { return (open < close ? open : close) - low; }
  // (high + low) / 2.
  double mid_price() const noexcept { return (high + low) / 2; }
  // (high + low + close) / 3.
  double typical_price() const noexcept { return (high + low + close) / 3; }

  // Every field equal.
  bool operator==(const Bar&) const = default;
};

}  // namespace tolbu_sdk::strategy

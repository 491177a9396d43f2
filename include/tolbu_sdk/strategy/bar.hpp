#pragma once
// One OHLCV bar of one instrument, as strategies and indicators work with it.

#include <cstdlib>
#include <string>

#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/types/records_fwd.hpp"

namespace tolbu_sdk::strategy {

using platform::LocalDateTime;

// A plain value: no reference to the candle it came from. Nothing checks that high >= low;
// an inconsistent bar simply yields negative ranges or wicks.
struct TOLBU_API Bar {
  std::string symbol;
  LocalDateTime time;  // local time of the bar, no zone
  double open;
  double high;
  double low;
  double close;
  double volume;

  // time is the local date-time of candle.time milliseconds after the epoch (fractions of a
  // second kept); prices and volume are copied unchanged.
  static Bar from_candle(const types::Candle& candle, std::string symbol);

  bool is_bullish() const noexcept { return close > open; }
  bool is_bearish() const noexcept { return close < open; }
  double body() const noexcept { return std::abs(close - open); }
  double range() const noexcept { return high - low; }
  // std::max and std::min spelled out: <algorithm> would double this header's cost.
  double upper_wick() const noexcept { return high - (close < open ? open : close); }
  double lower_wick() const noexcept { return (open < close ? open : close) - low; }
  double mid_price() const noexcept { return (high + low) / 2; }
  double typical_price() const noexcept { return (high + low + close) / 3; }

  bool operator==(const Bar&) const = default;
};

}  // namespace tolbu_sdk::strategy

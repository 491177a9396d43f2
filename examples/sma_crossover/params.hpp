#pragma once
// The strategy's settings, chosen on the command line.

#include <string>

namespace sma_crossover {

// How many bars of history warm the strategy up, live and in a backtest.
inline constexpr int kHistoryBars = 200;

struct Params {
  std::string symbol = "VN30F2412";
  std::string account_id = "SIM0001";
  int resolution = 60;  // candle length, seconds
  int fast_period = 3;
  int slow_period = 8;
  int atr_period = 5;
  // The stop starts this many ATRs from the entry and trails the best price at that distance.
  double stop_atr = 2.0;
  double take_atr = 3.0;  // take profit this many ATRs from the entry
  double quantity = 1;    // normalised to the instrument's lot size and limits
  // Stamp positions with the market's time (the newest bar's start) instead of the wall
  // clock: a backtest's trades then carry the simulated times and its report is reproducible.
  bool market_clock = false;
};

}  // namespace sma_crossover

#pragma once
// What the example prints on standard output: the live progress line and the final report.
// Logging to the console is off, so these are the only writers of stdout once the run starts.

#include <string>

#include "ledger.hpp"

namespace sma_crossover {

// "12:03:00 VN30F2412 1301.2 | LONG 1@1300.1 open +0.50 | P&L +1.10 | 3 trades | 45%"
std::string progress_line(const std::string& symbol, const Snapshot& snapshot, double progress);

// Rewrites one line in place on a terminal; elsewhere (a pipe, a log) prints a plain line
// per call.
class ProgressDisplay {
 public:
  explicit ProgressDisplay(bool terminal) : terminal_(terminal) {}
  bool terminal() const { return terminal_; }
  void show(const std::string& line);
  // Ends the live line so that what follows starts on a fresh line.
  void finish();

 private:
  bool terminal_;
  bool pending_line_ = false;
};

// Trades, P&L and win rate, then one line per closed position.
std::string final_report(const std::string& symbol, const Ledger& ledger);

}  // namespace sma_crossover

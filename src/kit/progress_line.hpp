#pragma once
// The run's live line on standard output: rewritten in place on a terminal, a plain line now
// and then anywhere else (a pipe, a log file), so that a long run shows it is alive.

#include <chrono>
#include <string>

#include "tolbu_sdk/backtest/runtime.hpp"

namespace tolbu_sdk::kit {

class ProgressLine {
 public:
  ProgressLine();  // a terminal when standard output is one
  // Shows the line when its interval has passed since the last one (or when forced).
  void show(const std::string& line, bool force = false);
  // Ends a line being rewritten, so that what follows starts on a fresh line.
  void finish();
  // How often a run should offer a line.
  std::chrono::milliseconds interval() const { return interval_; }

 private:
  bool terminal_;
  std::chrono::milliseconds interval_;
  std::chrono::steady_clock::time_point shown_{};
  bool open_ = false;
};

// "[###.......] 30.0%  600/2,000 bars  250 bars/s  6 s left"
std::string replay_progress_text(const backtest::ReplayProgress& p);

}  // namespace tolbu_sdk::kit

#include "progress_line.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <cstdio>

namespace tolbu_sdk::kit {

using namespace std::chrono_literals;

ProgressLine::ProgressLine()
    : terminal_(::isatty(STDOUT_FILENO) == 1), interval_(terminal_ ? 250ms : 5000ms) {}

void ProgressLine::show(const std::string& line, bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - shown_ < interval_) return;
  shown_ = now;
  if (terminal_) {
    // Carriage return, the line, then clear what a longer earlier line left behind.
    std::fputs(("\r" + line + "\x1b[K").c_str(), stdout);
    open_ = true;
  } else {
    std::fputs((line + "\n").c_str(), stdout);
  }
  std::fflush(stdout);
}

void ProgressLine::finish() {
  if (open_) std::fputs("\n", stdout);
  open_ = false;
  std::fflush(stdout);
}

std::string replay_progress_text(const backtest::ReplayProgress& p) {
  constexpr int kWidth = 30;
  const int filled = std::clamp(static_cast<int>(p.percent() / 100.0 * kWidth), 0, kWidth);
  return fmt::format("[{}{}] {:5.1f}%  {}/{} bars  {:.0f} bars/s  {:.0f} s left",
                     std::string(static_cast<std::size_t>(filled), '#'),
                     std::string(static_cast<std::size_t>(kWidth - filled), '.'), p.percent(),
                     p.done, p.total, p.bars_per_second(), p.seconds_left());
}

}  // namespace tolbu_sdk::kit

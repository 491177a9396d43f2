#include "tolbu_sdk/kit/risk.hpp"

#include <fmt/format.h>

#include <cstdlib>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/logging.hpp"

namespace tolbu_sdk::kit {

namespace logging = platform::logging;

namespace {

logging::Logger& risk_log() {
  static logging::Logger& log = logging::get_logger("tolbu_sdk.kit.risk");
  return log;
}

std::int64_t day_of(const platform::LocalDateTime& time) {
  return std::chrono::floor<std::chrono::days>(time).time_since_epoch().count();
}

}  // namespace

RiskGuard::RiskGuard(RiskLimits limits) : limits_(limits) {
  if (limits_.max_order_qty < 0 || limits_.max_open_positions < 0 || !(limits_.max_daily_loss >= 0) ||
      !(limits_.max_drawdown_pct >= 0)) {
    throw ValueError("Risk limits must not be negative");
  }
}

std::string RiskGuard::check(const std::string& symbol, Side side, std::int64_t qty,
                             std::int64_t position, int open_positions) {
  const std::int64_t after = position + sign(side) * qty;
  // Reducing without reversing: always allowed.
  const bool reduces = position != 0 && std::llabs(after) < std::llabs(position) &&
                       (after == 0 || (after > 0) == (position > 0));
  if (reduces || qty <= 0) return "";
  std::lock_guard lock(mutex_);
  std::string why;
  if (!halt_reason_.empty()) {
    why = "no new risk: " + halt_reason_;
  } else if (limits_.max_order_qty > 0 && qty > limits_.max_order_qty) {
    why = fmt::format("quantity {} is over the limit of {} per order", qty, limits_.max_order_qty);
  } else if (limits_.max_open_positions > 0 && position == 0 &&
             open_positions >= limits_.max_open_positions) {
    why = fmt::format("{} positions are open, the limit", open_positions);
  }
  if (!why.empty()) {
    refusals_.push_back({now_, symbol, side, qty, why});
    risk_log().warning("Risk: {} {} {} refused: {}", to_string(side), qty, symbol, why);
  }
  return why;
}

bool RiskGuard::update(const platform::LocalDateTime& time, double equity) {
  std::lock_guard lock(mutex_);
  now_ = time;
  const std::int64_t day = day_of(time);
  if (!started_) {
    started_ = true;
    day_ = day;
    day_start_ = peak_ = equity;
  } else if (day != day_) {
    day_ = day;
    day_start_ = last_equity_;  // the day before ended here
  }
  last_equity_ = equity;
  if (equity > peak_) peak_ = equity;
  // A daily halt ends with its day; a drawdown halt never does.
  if (!drawdown_halt_ && daily_halt_day_ >= 0 && daily_halt_day_ != day) {
    daily_halt_day_ = -1;
    halt_reason_.clear();
    risk_log().info("Risk: a new day, new entries allowed again");
  }
  if (!halt_reason_.empty()) return false;
  const double loss = day_start_ - equity;
  if (limits_.max_drawdown_pct > 0 && peak_ > 0 &&
      (peak_ - equity) / peak_ * 100.0 >= limits_.max_drawdown_pct) {
    drawdown_halt_ = true;
    halt_reason_ = fmt::format("drawdown {:.2f} % from the peak of {:.2f} reached the limit of {} %",
                               (peak_ - equity) / peak_ * 100.0, peak_, limits_.max_drawdown_pct);
  } else if (limits_.max_daily_loss > 0 && loss >= limits_.max_daily_loss) {
    daily_halt_day_ = day;
    halt_reason_ = fmt::format("the day's loss {:.2f} reached the limit of {:.2f}", loss,
                               limits_.max_daily_loss);
  } else {
    return false;
  }
  risk_log().warning("Risk: {}; no new entries{}, flattening", halt_reason_,
                   drawdown_halt_ ? "" : " until the next day");
  return true;
}

bool RiskGuard::halted() const {
  std::lock_guard lock(mutex_);
  return !halt_reason_.empty();
}

std::string RiskGuard::halt_reason() const {
  std::lock_guard lock(mutex_);
  return halt_reason_;
}

std::vector<RiskRefusal> RiskGuard::refusals() const {
  std::lock_guard lock(mutex_);
  return refusals_;
}

}  // namespace tolbu_sdk::kit

#pragma once
// The market clock: epoch ms that start at --start-ms (or now) and run at --speed, moved on
// by hand for replays and tests.

#include <chrono>
#include <cstdint>

namespace tolbu_sim {

class MarketClock {
 public:
  MarketClock(std::int64_t start_ms, double speed)
      : started_(std::chrono::steady_clock::now()), start_ms_(start_ms), speed_(speed) {}

  std::int64_t now_ms() const {
    const auto real = std::chrono::steady_clock::now() - started_;
    const auto real_ms = std::chrono::duration<double, std::milli>(real).count();
    return start_ms_ + offset_ms_ + static_cast<std::int64_t>(real_ms * speed_);
  }
  void advance(std::int64_t ms) { offset_ms_ += ms; }
  void set_time(std::int64_t ms) { offset_ms_ += ms - now_ms(); }
  double speed() const { return speed_; }

 private:
  std::chrono::steady_clock::time_point started_;
  std::int64_t start_ms_;
  std::int64_t offset_ms_ = 0;
  double speed_;
};

}  // namespace tolbu_sim

namespace tolbu_sim {

// The start of the period of `length` ms that holds `ms` (also before 1970).
inline std::int64_t floor_to(std::int64_t ms, std::int64_t length) {
  std::int64_t q = ms / length;
  if (ms % length != 0 && ms < 0) --q;
  return q * length;
}

}  // namespace tolbu_sim

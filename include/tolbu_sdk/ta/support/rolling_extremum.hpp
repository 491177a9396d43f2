#pragma once
// Highest or lowest of the newest `period` values with a monotonic queue: amortised O(1) per
// push. `age()` says how many pushes ago the extreme was pushed (0: the newest), for
// indicators that count periods since the high or low. On ties the newest occurrence wins
// unless `Ties::Oldest` is asked for. An undo rebuilds the queue from the window when next
// needed (O(period), once per undo).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "tolbu_sdk/ta/support/ring_buffer.hpp"
#include "tolbu_sdk/ta/support/undoable.hpp"
#include "tolbu_sdk/ta/support/window_values.hpp"

namespace tolbu_sdk::ta::support {

// Which of equal extremes RollingExtremum reports (it matters to age()).
enum class Ties { Newest, Oldest };

// Highest (RollingMax) or lowest (RollingMin) of the newest `period` values, amortised O(1).
template <class Better>  // std::greater<> for the maximum, std::less<> for the minimum
class RollingExtremum final : public Undoable {
 public:
  // Over `period` values; on ties the newest (or, with Ties::Oldest, the oldest) counts.
  explicit RollingExtremum(std::size_t period, Ties ties = Ties::Newest)
      : period_(std::max<std::size_t>(period, 1)), ties_(ties) {
    queue_.reserve(period_ + 1);
  }

  // Adds `x` as the newest value of the window.
  void push(double x) {
    if (window_.stale) rebuild();
    const std::uint64_t i = window_.push(x);
    while (!queue_.empty() && displaces(x, value_of(queue_.back()))) queue_.pop_back();
    queue_.push_back(i);
    drop_expired();
  }

  void undo() override { window_.undo(); }
  void reset() override {
    window_.clear();
    queue_.clear();
  }
  void set_history_limit(std::size_t n) override { window_.set_history_limit(n, period_); }

  // Whether nothing was pushed (or all was undone).
  bool empty() const { return window_.values.empty(); }
  // Values in the window: the period once that many were pushed.
  std::size_t count() const { return std::min(window_.values.size(), period_); }
  // Whether the window holds `period` values.
  bool full() const { return window_.values.size() >= period_; }
  // The window's length.
  std::size_t period() const { return period_; }

  // The extreme of the window; the window must not be empty.
  double value() const {
    if (window_.stale) rebuild();
    return value_of(queue_.front());
  }
  // Pushes since the extreme was pushed.
  std::size_t age() const {
    if (window_.stale) rebuild();
    return static_cast<std::size_t>(window_.count - 1 - queue_.front());
  }

 private:
  bool displaces(double incoming, double queued) const {
    if (ties_ == Ties::Newest) return !better_(queued, incoming);  // incoming >= queued
    return better_(incoming, queued);                              // incoming > queued
  }
  double value_of(std::uint64_t i) const {
    return window_.values.back(static_cast<std::size_t>(window_.count - 1 - i));
  }
  void drop_expired() const {
    while (!queue_.empty() && queue_.front() + period_ < window_.count) queue_.pop_front();
  }
  void rebuild() const {
    queue_.clear();
    window_.stale = false;
    const std::size_t n = count();
    for (std::size_t k = n; k-- > 0;) {
      const std::uint64_t i = window_.count - 1 - k;
      const double x = window_.values.back(k);
      while (!queue_.empty() && displaces(x, value_of(queue_.back()))) queue_.pop_back();
      queue_.push_back(i);
    }
  }

  std::size_t period_;
  Ties ties_;
  Better better_{};
  WindowValues<double> window_;
  mutable RingBuffer<std::uint64_t> queue_;  // positions, extremes first
};

// The highest of the newest `period` values.
using RollingMax = RollingExtremum<std::greater<>>;
// The lowest of the newest `period` values.
using RollingMin = RollingExtremum<std::less<>>;

}  // namespace tolbu_sdk::ta::support

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

namespace tolbu_sdk::ta::support {

enum class Ties { Newest, Oldest };

template <class Better>  // std::greater<> for the maximum, std::less<> for the minimum
class RollingExtremum final : public Undoable {
 public:
  explicit RollingExtremum(std::size_t period, Ties ties = Ties::Newest)
      : period_(std::max<std::size_t>(period, 1)), ties_(ties) {
    queue_.reserve(period_ + 1);
  }

  void push(double x) {
    if (stale_) rebuild();
    values_.push_back(x);
    const std::uint64_t i = count_++;
    while (!queue_.empty() && displaces(x, value_of(queue_.back()))) queue_.pop_back();
    queue_.push_back(i);
    drop_expired();
  }

  void undo() override {
    if (values_.empty()) return;
    values_.pop_back();
    --count_;
    stale_ = true;
  }

  void reset() override {
    values_.clear();
    queue_.clear();
    count_ = 0;
    stale_ = false;
  }

  void set_history_limit(std::size_t n) override {
    values_.set_max_size(n == 0 ? 0 : std::max(n, period_ + 1));
  }

  bool empty() const { return values_.empty(); }
  std::size_t count() const { return std::min(values_.size(), period_); }
  bool full() const { return values_.size() >= period_; }
  std::size_t period() const { return period_; }

  // The extreme of the window; the window must not be empty.
  double value() const {
    if (stale_) rebuild();
    return value_of(queue_.front());
  }
  // Pushes since the extreme was pushed.
  std::size_t age() const {
    if (stale_) rebuild();
    return static_cast<std::size_t>(count_ - 1 - queue_.front());
  }

 private:
  bool displaces(double incoming, double queued) const {
    if (ties_ == Ties::Newest) return !better_(queued, incoming);  // incoming >= queued
    return better_(incoming, queued);                              // incoming > queued
  }
  double value_of(std::uint64_t i) const {
    return values_.back(static_cast<std::size_t>(count_ - 1 - i));
  }
  void drop_expired() const {
    while (!queue_.empty() && queue_.front() + period_ < count_) queue_.pop_front();
  }
  void rebuild() const {
    queue_.clear();
    stale_ = false;
    const std::size_t n = count();
    for (std::size_t k = n; k-- > 0;) {
      const std::uint64_t i = count_ - 1 - k;
      const double x = values_.back(k);
      while (!queue_.empty() && displaces(x, value_of(queue_.back()))) queue_.pop_back();
      queue_.push_back(i);
    }
  }

  std::size_t period_;
  Ties ties_;
  Better better_{};
  RingBuffer<double> values_;
  mutable RingBuffer<std::uint64_t> queue_;  // positions, extremes first
  std::uint64_t count_ = 0;                  // values pushed (less undone)
  mutable bool stale_ = false;
};

using RollingMax = RollingExtremum<std::greater<>>;
using RollingMin = RollingExtremum<std::less<>>;

}  // namespace tolbu_sdk::ta::support

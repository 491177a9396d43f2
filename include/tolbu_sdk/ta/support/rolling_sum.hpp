#pragma once
// Sum of the newest `period` values, O(1) per push and per undo. An undo restores the sum
// as it was, bit for bit, so that editing the input gives exactly a plain run's values.

#include <algorithm>
#include <cstddef>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/support/ring_buffer.hpp"
#include "tolbu_sdk/ta/support/undoable.hpp"

namespace tolbu_sdk::ta::support {

// Sum of the newest `period` values, O(1) per push and undo, undone bit for bit.
class TOLBU_API RollingSum final : public Undoable {
 public:
  // Over `period` values (0 counts as 1).
  explicit RollingSum(std::size_t period) : period_(std::max<std::size_t>(period, 1)) {}

  // Adds `x` as the newest value of the window.
  void push(double x) {
    saved_.push_back({sum_, since_resum_});
    values_.push_back(x);
    sum_ += x;
    if (values_.size() > period_) sum_ -= values_.back(period_);
    // Adding and subtracting drifts over a long run: resum the window now and then.
    if (++since_resum_ >= resum_every()) resum();
  }

  void undo() override {
    if (values_.empty()) return;
    if (!saved_.empty()) {
      sum_ = saved_.back().sum;
      since_resum_ = saved_.back().since_resum;
      saved_.pop_back();
    } else {  // beyond the bounded history: recompute
      sum_ -= values_.back();
      if (values_.size() > period_) sum_ += values_.back(period_);
    }
    values_.pop_back();
  }

  void reset() override {
    values_.clear();
    saved_.clear();
    sum_ = 0.0;
    since_resum_ = 0;
  }

  void set_history_limit(std::size_t n) override {
    values_.set_max_size(n == 0 ? 0 : n + period_);
    saved_.set_max_size(n == 0 ? 0 : n + period_);
  }

  // Sum of the values in the window.
  double sum() const { return sum_; }
  // Values in the window: the period once that many were pushed.
  std::size_t count() const { return std::min(values_.size(), period_); }
  // Whether the window holds `period` values.
  bool full() const { return values_.size() >= period_; }
  // Mean of the values in the window (0 when empty).
  double mean() const { return count() == 0 ? 0.0 : sum_ / static_cast<double>(count()); }
  // The window's length.
  std::size_t period() const { return period_; }
  // k = 0 is the newest value pushed.
  double back(std::size_t k = 0) const { return values_.back(k); }
  // The values held, oldest first (beyond the window when the history allows).
  const RingBuffer<double>& values() const { return values_; }

 private:
  std::size_t resum_every() const { return 64 * period_ + 1024; }
  void resum() {
    sum_ = 0.0;
    const std::size_t n = count();
    for (std::size_t k = n; k-- > 0;) sum_ += values_.back(k);
    since_resum_ = 0;
  }

  struct Saved {
    double sum;
    std::size_t since_resum;
  };

  std::size_t period_;
  RingBuffer<double> values_;
  RingBuffer<Saved> saved_;  // the state before each push
  double sum_ = 0.0;
  std::size_t since_resum_ = 0;
};

}  // namespace tolbu_sdk::ta::support

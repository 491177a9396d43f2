#pragma once
// Linearly weighted sum of the newest `period` values (weight `period` for the newest, 1 for
// the oldest), O(1) per push and per undo: each push lowers every weight by one, which is the
// plain window sum taken off. An undo restores the state bit for bit.

#include <algorithm>
#include <cstddef>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/support/ring_buffer.hpp"
#include "tolbu_sdk/ta/support/undoable.hpp"

namespace tolbu_sdk::ta::support {

// Linearly weighted sum of the newest `period` values, O(1) per push and undo.
class TOLBU_API RollingWeightedSum final : public Undoable {
 public:
  // Over `period` values (0 counts as 1).
  explicit RollingWeightedSum(std::size_t period) : period_(std::max<std::size_t>(period, 1)) {}

  // Adds `x` as the newest value, weight `period`; the others lose one each.
  void push(double x) {
    saved_.push_back({sum_, weighted_, since_resum_});
    const std::size_t n = values_.size();
    if (n >= period_) {
      weighted_ += static_cast<double>(period_) * x - sum_;
      sum_ += x - values_.back(period_ - 1);
    } else {
      weighted_ += static_cast<double>(n + 1) * x;
      sum_ += x;
    }
    values_.push_back(x);
    if (++since_resum_ >= 64 * period_ + 1024) resum();
  }

  void undo() override {
    const std::size_t n = values_.size();
    if (n == 0) return;
    if (!saved_.empty()) {
      sum_ = saved_.back().sum;
      weighted_ = saved_.back().weighted;
      since_resum_ = saved_.back().since_resum;
      saved_.pop_back();
      values_.pop_back();
      return;
    }
    const double x = values_.back();  // beyond the bounded history: recompute
    if (n > period_) {
      sum_ -= x - values_.back(period_);
      weighted_ -= static_cast<double>(period_) * x - sum_;
    } else {
      sum_ -= x;
      weighted_ -= static_cast<double>(n) * x;
    }
    values_.pop_back();
    resum();
  }

  void reset() override {
    values_.clear();
    saved_.clear();
    sum_ = weighted_ = 0.0;
    since_resum_ = 0;
  }

  void set_history_limit(std::size_t n) override {
    values_.set_max_size(n == 0 ? 0 : n + period_);
    saved_.set_max_size(n == 0 ? 0 : n + period_);
  }

  // Whether the window holds `period` values.
  bool full() const { return values_.size() >= period_; }
  // The window's length.
  std::size_t period() const { return period_; }
  // Sum of the values in the window, each times its weight.
  double weighted_sum() const { return weighted_; }
  // Plain sum of the values in the window.
  double sum() const { return sum_; }
  // The weighted mean once the window is full.
  double mean() const {
    const double p = static_cast<double>(period_);
    return weighted_ / (p * (p + 1) / 2);
  }

 private:
  void resum() {
    sum_ = weighted_ = 0.0;
    const std::size_t n = std::min(values_.size(), period_);
    for (std::size_t k = 0; k < n; ++k) {
      sum_ += values_.back(k);
      weighted_ += static_cast<double>(n - k) * values_.back(k);
    }
    since_resum_ = 0;
  }

  struct Saved {
    double sum, weighted;
    std::size_t since_resum;
  };

  std::size_t period_;
  RingBuffer<double> values_;
  RingBuffer<Saved> saved_;  // the state before each push
  double sum_ = 0.0;
  double weighted_ = 0.0;
  std::size_t since_resum_ = 0;
};

}  // namespace tolbu_sdk::ta::support

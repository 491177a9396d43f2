#pragma once
// Least-squares line through the newest `period` values (x = 0 for the oldest), evaluated at
// the newest: O(1) per push and per undo from the window's sum and x-weighted sum.

#include <algorithm>
#include <cstddef>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/support/ring_buffer.hpp"
#include "tolbu_sdk/ta/support/undoable.hpp"

namespace tolbu_sdk::ta::support {

// Least-squares line through the newest `period` values, read at the newest; O(1) per push.
class TOLBU_API RollingRegression final : public Undoable {
 public:
  // Over `period` values (0 counts as 1).
  explicit RollingRegression(std::size_t period) : period_(std::max<std::size_t>(period, 1)) {}

  // Adds `y` as the newest value of the window.
  void push(double y) {
    const auto last = static_cast<double>(period_ - 1);
    if (values_.size() >= period_) {
      const double oldest = values_.back(period_ - 1);
      // Every value moves one place left: the weighted sum loses the others' sum once.
      weighted_ += last * y - (sum_ - oldest);
      sum_ += y - oldest;
    } else {
      weighted_ += static_cast<double>(values_.size()) * y;
      sum_ += y;
    }
    values_.push_back(y);
    // Running sums drift over a long run: renew them from the window now and then.
    if (++since_renew_ >= 64 * period_ + 1024) renew();
  }

  void undo() override {
    if (values_.empty()) return;
    const double y = values_.back();
    values_.pop_back();
    if (values_.size() < period_) {
      renew();  // a partial window is short: resum it exactly
      return;
    }
    // The push dropped the value that is now the oldest of the window again.
    const double oldest = values_.back(period_ - 1);
    sum_ += oldest - y;
    weighted_ += (sum_ - oldest) - static_cast<double>(period_ - 1) * y;
  }

  void reset() override {
    values_.clear();
    sum_ = weighted_ = 0.0;
    since_renew_ = 0;
  }

  void set_history_limit(std::size_t n) override { values_.set_max_size(n == 0 ? 0 : n + period_); }

  // Values in the window: the period once that many were pushed.
  std::size_t count() const { return std::min(values_.size(), period_); }
  // Whether the window holds `period` values.
  bool full() const { return values_.size() >= period_; }
  // The window's length.
  std::size_t period() const { return period_; }

  // The fitted line at the newest value; the window must not be empty.
  double value() const {
    const auto n = static_cast<double>(count());
    if (n < 2) return sum_ / n;
    const double mean_x = (n - 1.0) / 2.0;
    const double sxx = n * (n * n - 1.0) / 12.0;
    const double slope = (weighted_ - mean_x * sum_) / sxx;
    return sum_ / n + slope * (n - 1.0 - mean_x);
  }

 private:
  void renew() {
    sum_ = weighted_ = 0.0;
    since_renew_ = 0;
    const std::size_t n = count();
    for (std::size_t i = 0; i < n; ++i) {
      const double y = values_.back(n - 1 - i);
      sum_ += y;
      weighted_ += static_cast<double>(i) * y;
    }
  }

  std::size_t period_;
  RingBuffer<double> values_;
  double sum_ = 0.0;       // sum of y
  double weighted_ = 0.0;  // sum of x * y
  std::size_t since_renew_ = 0;
};

}  // namespace tolbu_sdk::ta::support

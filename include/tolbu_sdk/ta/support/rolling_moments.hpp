#pragma once
// Mean and variance of the newest `period` values, O(1) per push and per undo. The sums are
// taken around a shift near the data, so that prices far from zero with a small spread keep
// their precision; the shift and the sums are renewed from the window now and then. An undo
// restores the state bit for bit.

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/support/ring_buffer.hpp"
#include "tolbu_sdk/ta/support/undoable.hpp"

namespace tolbu_sdk::ta::support {

// Mean and variance of the newest `period` values, O(1) per push and undo, precise far from 0.
class TOLBU_API RollingMoments final : public Undoable {
 public:
  // Over `period` values (0 counts as 1).
  explicit RollingMoments(std::size_t period) : period_(std::max<std::size_t>(period, 1)) {}

  // Adds `x` as the newest value of the window.
  void push(double x) {
    saved_.push_back({shift_, s1_, s2_, since_renew_});
    if (values_.empty()) shift_ = x;
    values_.push_back(x);
    add(x, 1.0);
    if (values_.size() > period_) add(values_.back(period_), -1.0);
    if (++since_renew_ >= 64 * period_ + 1024) renew();
  }

  void undo() override {
    if (values_.empty()) return;
    if (!saved_.empty()) {
      const Saved& st = saved_.back();
      shift_ = st.shift;
      s1_ = st.s1;
      s2_ = st.s2;
      since_renew_ = st.since_renew;
      saved_.pop_back();
      values_.pop_back();
      return;
    }
    add(values_.back(), -1.0);  // beyond the bounded history: recompute
    if (values_.size() > period_) add(values_.back(period_), 1.0);
    values_.pop_back();
    renew();
  }

  void reset() override {
    values_.clear();
    saved_.clear();
    s1_ = s2_ = 0.0;
    since_renew_ = 0;
  }

  void set_history_limit(std::size_t n) override {
    values_.set_max_size(n == 0 ? 0 : n + period_);
    saved_.set_max_size(n == 0 ? 0 : n + period_);
  }

  // Values in the window: the period once that many were pushed.
  std::size_t count() const { return std::min(values_.size(), period_); }
  // Whether the window holds `period` values.
  bool full() const { return values_.size() >= period_; }
  // The window's length.
  std::size_t period() const { return period_; }

  // Mean of the values in the window.
  double mean() const {
    const double n = static_cast<double>(count());
    return n == 0 ? 0.0 : shift_ + s1_ / n;
  }
  // Sum of the values in the window.
  double sum() const { return shift_ * static_cast<double>(count()) + s1_; }
  // Population variance (divides by n).
  double variance() const {
    const double n = static_cast<double>(count());
    if (n == 0) return 0.0;
    return std::max(0.0, (s2_ - s1_ * s1_ / n) / n);
  }
  // Sample variance (divides by n - 1).
  double sample_variance() const {
    const double n = static_cast<double>(count());
    if (n < 2) return 0.0;
    return std::max(0.0, (s2_ - s1_ * s1_ / n) / (n - 1));
  }
  // Population standard deviation (divides by n).
  double stddev() const { return std::sqrt(variance()); }
  // Sample standard deviation (divides by n - 1).
  double sample_stddev() const { return std::sqrt(sample_variance()); }
  // The value pushed `k` pushes ago (0: the newest). Unchecked (asserted).
  double back(std::size_t k = 0) const { return values_.back(k); }

 private:
  void add(double x, double sign) {
    const double d = x - shift_;
    s1_ += sign * d;
    s2_ += sign * d * d;
  }
  void renew() {
    s1_ = s2_ = 0.0;
    since_renew_ = 0;
    const std::size_t n = count();
    if (n == 0) return;
    shift_ = values_.back();
    for (std::size_t k = n; k-- > 0;) add(values_.back(k), 1.0);
  }

  struct Saved {
    double shift, s1, s2;
    std::size_t since_renew;
  };

  std::size_t period_;
  RingBuffer<double> values_;
  RingBuffer<Saved> saved_;  // the state before each push
  double shift_ = 0.0;
  double s1_ = 0.0;  // sum of (x - shift)
  double s2_ = 0.0;  // sum of (x - shift)^2
  std::size_t since_renew_ = 0;
};

}  // namespace tolbu_sdk::ta::support

#pragma once
// An exponential average as a building block: seeded with the simple average of the first
// `period` values, then value += alpha * (x - value), alpha = 2 / (period + 1) unless given.
// Cheaper than an inner EMA indicator (no input or output history); an undo restores the
// state bit for bit. `push_absent` keeps the block in step with its indicator's inputs on
// an input that gives it nothing to average.

#include <algorithm>
#include <cstddef>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/support/ring_buffer.hpp"
#include "tolbu_sdk/ta/support/undoable.hpp"

namespace tolbu_sdk::ta::support {

// Exponential average block: seeded with a simple average, then value += alpha * (x - value).
class TOLBU_API ExponentialAverage final : public Undoable {
 public:
  // Smoothing 2 / (period + 1); a `period` of 0 counts as 1.
  explicit ExponentialAverage(std::size_t period)
      : ExponentialAverage(period,
                           2.0 / (static_cast<double>(std::max<std::size_t>(period, 1)) + 1.0)) {}
  // Smoothing `alpha` (Wilder's is 1 / period), seeded over `period` values.
  ExponentialAverage(std::size_t period, double alpha)
      : period_(std::max<std::size_t>(period, 1)), alpha_(alpha) {}

  // Adds `x` to the seed, or moves the average towards it.
  void push(double x) {
    saved_.push_back(state_);
    if (state_.count < period_) {
      state_.value += x;  // the sum of the seed values until the seed is complete
      if (++state_.count == period_) state_.value /= static_cast<double>(period_);
    } else {
      state_.value += alpha_ * (x - state_.value);
    }
  }
  // Keeps step with an absent input of the owner: nothing changes, but an undo is due.
  void push_absent() { saved_.push_back(state_); }

  void undo() override {
    if (saved_.empty()) return;
    state_ = saved_.back();
    saved_.pop_back();
  }
  void reset() override {
    saved_.clear();
    state_ = State{};
  }
  void set_history_limit(std::size_t n) override {
    saved_.set_max_size(n == 0 ? 0 : n + 1);  // previous() reads one more
  }

  // Whether the seed is complete, so that value() is the average.
  bool ready() const { return state_.count >= period_; }
  // The average; only once ready().
  double value() const { return state_.value; }
  // Whether there was an average before the newest push, and what it was.
  bool was_ready() const { return !saved_.empty() && saved_.back().count >= period_; }
  // The average before the newest push; only when was_ready().
  double previous() const { return saved_.back().value; }
  // Values in the seed.
  std::size_t period() const { return period_; }

 private:
  struct State {
    double value = 0.0;
    std::size_t count = 0;  // values averaged, up to the period
  };

  std::size_t period_;
  double alpha_;
  State state_;
  RingBuffer<State> saved_;  // the state before each push
};

}  // namespace tolbu_sdk::ta::support

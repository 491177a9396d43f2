#pragma once
// Wilder's smoothing, as ATR computes it, inside indicators that need an ATR without keeping a
// whole inner indicator: the mean of the first `period` values, then
// (previous * (period - 1) + x) / period. One push per input of the owner; an undo restores
// the previous state exactly.

#include <cstddef>
#include <optional>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/support/state_history.hpp"

namespace tolbu_sdk::ta::support {

// Wilder's smoothing block: the mean of the first `period` values, then 1 / period steps.
class TOLBU_API WilderAverage final : public Undoable {
 public:
  // Over `period` values; the owner checks that it is at least 1.
  explicit WilderAverage(int period) : period_(period) {}

  // Adds `x` and returns the average; absent until `period` values are in.
  std::optional<double> push(double x) {
    Step s = steps_.newest();
    if (s.count < static_cast<std::size_t>(period_)) {
      s.value += x;  // the seed's sum, oldest first
      if (++s.count == static_cast<std::size_t>(period_)) s.value /= period_;
    } else {
      s.value = (s.value * (period_ - 1) + x) / period_;
    }
    steps_.push(s);
    return value();
  }

  // The newest average; absent until `period` values are in.
  std::optional<double> value() const {
    const Step& s = steps_.newest();
    if (s.count < static_cast<std::size_t>(period_)) return std::nullopt;
    return s.value;
  }

  void undo() override { steps_.undo(); }
  void reset() override { steps_.reset(); }
  void set_history_limit(std::size_t n) override { steps_.set_history_limit(n); }

 private:
  struct Step {
    double value = 0.0;
    std::size_t count = 0;  // up to the period
  };

  int period_;
  StepHistory<Step> steps_;
};

}  // namespace tolbu_sdk::ta::support

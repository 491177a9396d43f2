#pragma once
// Wilder's relative strength index of a series, as the RSI indicator computes it, inside
// indicators that need an RSI without keeping a whole inner indicator (StochRSI). One push per
// present input of the owner; an undo restores the previous state exactly.

#include <cstddef>
#include <optional>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/support/state_history.hpp"

namespace tolbu_sdk::ta::support {

// Wilder's RSI block over `period` changes, one push per present input of its owner.
class TOLBU_API RelativeStrength final : public Undoable {
 public:
  // Over `period` changes; the owner checks that it is at least 1.
  explicit RelativeStrength(int period) : period_(period) {}

  // Adds `x` and returns the index; absent until `period` changes are in.
  std::optional<double> push(double x) {
    if (add(x)) return current();
    return std::nullopt;
  }
  // The same without an optional, for hot loops: whether there is a value now (current()).
  bool add(double x) {
    Step s = steps_.newest();
    const double change = x - s.last_input;
    s.last_input = x;
    const auto p = static_cast<std::size_t>(period_);
    const std::size_t n = ++s.count;
    s.has_value = false;
    if (n == 1) return keep(s);
    const double gain = change > 0.0 ? change : 0.0;
    const double loss = change < 0.0 ? -change : 0.0;
    if (n <= p) {
      s.gain += gain;
      s.loss += loss;
      return keep(s);
    }
    if (n == p + 1) {
      s.gain = (s.gain + gain) / period_;
      s.loss = (s.loss + loss) / period_;
    } else {
      s.gain = (s.gain * (period_ - 1) + gain) / period_;
      s.loss = (s.loss * (period_ - 1) + loss) / period_;
    }
    // No change scales both averages alike: the index stays, and stays exact even where a long
    // stillness decays the averages into subnormal numbers. Without any change at all it
    // repeats the previous value too.
    if ((change == 0.0 && n > p + 1) || (s.loss == 0.0 && s.gain == 0.0)) {
      s.has_value = s.had_value;  // s.value is the previous one
    } else {
      s.value = s.loss == 0.0 ? 100.0 : 100.0 - 100.0 / (1.0 + s.gain / s.loss);
      s.has_value = true;
    }
    s.had_value = s.had_value || s.has_value;
    return keep(s);
  }

  // The newest index, when there is one.
  double current() const { return steps_.newest().value; }
  // The newest index; absent while warming up.
  std::optional<double> value() const {
    if (!steps_.newest().has_value) return std::nullopt;
    return current();
  }

  void undo() override { steps_.undo(); }
  void reset() override { steps_.reset(); }
  void set_history_limit(std::size_t n) override { steps_.set_history_limit(n); }

 private:
  struct Step {
    double last_input = 0.0;
    double gain = 0.0;  // sums of the changes until the first value, then Wilder averages
    double loss = 0.0;
    double value = 0.0;  // the newest index so far
    std::size_t count = 0;
    bool has_value = false;  // whether this push gave a value
    bool had_value = false;  // whether any push did
  };

  bool keep(const Step& s) {
    steps_.push(s);
    return s.has_value;
  }

  int period_;
  StepHistory<Step> steps_;
};

}  // namespace tolbu_sdk::ta::support

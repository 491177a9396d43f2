#pragma once
// The stochastic %K of a series of numbers inside StochRSI and STC: where the newest value sits
// between the lowest and the highest of the newest `period` values, from 0 to 100. One push per
// input of the owner; an absent push gives an absent value and leaves the window as it was.
// A window whose range is rounding noise counts as flat.

#include <algorithm>
#include <cmath>
#include <optional>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/support/rolling_range.hpp"
#include "tolbu_sdk/ta/support/state_history.hpp"

namespace tolbu_sdk::ta::support {

// Stochastic %K block over a window of numbers, 0 to 100, one push per input of its owner.
class TOLBU_API MomentumStochastic final : public Undoable {
 public:
  // The first value comes with the `min_count`-th value (a partial window before `period`);
  // a window without range gives `flat`, or repeats the previous value when that is absent.
  MomentumStochastic(std::size_t period, std::size_t min_count, std::optional<double> flat)
      : min_count_(min_count), flat_(flat), range_(period) {}

  // Adds `x` (absent: the owner's input was absent) and returns %K, absent while warming up.
  std::optional<double> push(std::optional<double> x) {
    if (x ? add(*x) : add_absent()) return current();
    return std::nullopt;
  }
  // The same without optionals, for hot loops: whether there is a value now (current()).
  bool add_absent() {
    Step s = steps_.newest();
    s.present = false;
    s.has_value = false;
    steps_.push(s);
    return false;
  }
  bool add(double x) {
    Step s = steps_.newest();
    s.present = true;
    s.has_value = false;
    range_.push(x);
    ++s.count;
    if (s.count >= min_count_) {
      const double ll = range_.low();
      const double hh = range_.high();
      const double range = hh - ll;
      // A range of rounding noise (a smoothed series that is flat in exact arithmetic, off
      // by an ulp after a running sum) is no range: its %K would be 0 or 100 at random.
      if (range > kNoise * std::max(std::fabs(hh), std::fabs(ll))) {
        s.value = (x - ll) / range * 100.0;
        s.has_value = true;
      } else if (flat_) {
        s.value = *flat_;
        s.has_value = true;
      } else {
        s.has_value = s.had_value;  // repeats s.value, the previous one
      }
      s.had_value = s.had_value || s.has_value;
    }
    steps_.push(s);
    return s.has_value;
  }
  // The newest value, when there is one.
  double current() const { return steps_.newest().value; }

  // The newest %K; absent while warming up and after an absent push.
  std::optional<double> value() const {
    if (!steps_.newest().has_value) return std::nullopt;
    return current();
  }
  // Present values pushed so far.
  std::size_t count() const { return steps_.newest().count; }

  void undo() override {
    if (steps_.newest().present) range_.undo();
    steps_.undo();
  }
  void reset() override {
    range_.reset();
    steps_.reset();
  }
  void set_history_limit(std::size_t n) override {
    range_.set_history_limit(n);
    steps_.set_history_limit(n);
  }

 private:
  static constexpr double kNoise = 1e-12;

  struct Step {
    double value = 0.0;  // the newest value so far, which a flat window repeats
    std::size_t count = 0;
    bool present = false;
    bool has_value = false;  // whether this push gave a value
    bool had_value = false;  // whether any push did
  };

  std::size_t min_count_;
  std::optional<double> flat_;
  RollingRange range_;
  StepHistory<Step> steps_;
};

}  // namespace tolbu_sdk::ta::support

#pragma once
// A moving average inside a composite indicator, without the cost of a whole inner indicator
// per value: SMA and EMA (the usual choices) are computed here, with exactly the arithmetic of
// the SMA and EMA indicators; any other MAType is delegated to make_ma(). Like an inner
// indicator it takes one push per input of its owner, present or absent; an absent push gives
// an absent value and leaves the average as it was.

#include <cstdint>
#include <memory>
#include <optional>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"
#include "tolbu_sdk/ta/support/state_history.hpp"

namespace tolbu_sdk::ta::support {

class MomentumAverage final : public Undoable {
 public:
  MomentumAverage(MAType type, int period)
      : type_(type),
        period_(static_cast<std::size_t>(period)),
        alpha_(2.0 / (period + 1.0)),
        sum_(static_cast<std::size_t>(period < 1 ? 1 : period)) {
    if (period < 1) throw ValueError("a moving average needs a period of at least 1");
    if (type_ != MAType::SMA && type_ != MAType::EMA) other_ = make_ma(type, period);
  }

  std::optional<double> push(std::optional<double> x) {
    if (other_) {
      other_->add(x);
      return other_->value();
    }
    Step s = steps_.empty() ? Step{} : steps_.back();
    s.present = x.has_value();
    s.has_value = false;
    if (x) {
      if (s.count <= period_) ++s.count;  // only compared with the period
      if (type_ == MAType::SMA) {
        sum_.push(*x);
        if (sum_.full()) {
          s.value = sum_.sum() / static_cast<double>(period_);
          s.has_value = true;
        }
      } else if (s.count < period_) {
        s.value += *x;  // the seed's sum
      } else if (s.count == period_) {
        s.value = (s.value + *x) / static_cast<double>(period_);
        s.has_value = true;
      } else {
        s.value += alpha_ * (*x - s.value);
        s.has_value = true;
      }
    }
    steps_.push(s);
    return s.has_value ? std::optional<double>(s.value) : std::nullopt;
  }

  // The newest value; absent during warm-up and after an absent push.
  std::optional<double> value() const {
    if (other_) return other_->value();
    if (steps_.empty() || !steps_.back().has_value) return std::nullopt;
    return steps_.back().value;
  }

  void undo() override {
    if (other_) {
      other_->remove();
      return;
    }
    if (steps_.empty()) return;
    if (steps_.back().present && type_ == MAType::SMA) sum_.undo();
    steps_.undo();
  }
  void reset() override {
    if (other_) other_->remove_all();
    steps_.reset();
    sum_.reset();
  }
  void set_history_limit(std::size_t n) override {
    if (other_) other_->set_history_limit(n);
    steps_.set_history_limit(n);
    sum_.set_history_limit(n);
  }
  void mark_as_part() override {
    if (other_) other_->mark_as_part();
  }

 private:
  struct Step {
    double value = 0.0;       // the average (EMA: the sum of the seed values until it has one)
    std::uint32_t count = 0;  // present values so far, up to period + 1
    bool present = false;
    bool has_value = false;
  };

  MAType type_;
  std::size_t period_;
  double alpha_;
  RollingSum sum_;
  StateHistory<Step> steps_;
  std::unique_ptr<Indicator<double, double>> other_;
};

}  // namespace tolbu_sdk::ta::support

#pragma once
// Three exponential averages in cascade, each fed the one before once that is ready: the
// common core of TEMA and TRIX. Undone, reset and bounded as one part.

#include <cstddef>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/support/exponential_average.hpp"
#include "tolbu_sdk/ta/support/undoable.hpp"

namespace tolbu_sdk::ta::support {

// Three exponential averages in cascade over the same period, for TEMA and TRIX.
class TOLBU_API TripleExponentialAverage final : public Undoable {
 public:
  // Each average over `period` values.
  explicit TripleExponentialAverage(std::size_t period) : e1_(period), e2_(period), e3_(period) {}

  // Feeds `x` to the first average, and each ready average to the next.
  void push(double x) {
    e1_.push(x);
    e1_.ready() ? e2_.push(e1_.value()) : e2_.push_absent();
    e2_.ready() ? e3_.push(e2_.value()) : e3_.push_absent();
  }

  void undo() override {
    e1_.undo();
    e2_.undo();
    e3_.undo();
  }
  void reset() override {
    e1_.reset();
    e2_.reset();
    e3_.reset();
  }
  void set_history_limit(std::size_t n) override {
    e1_.set_history_limit(n);
    e2_.set_history_limit(n);
    e3_.set_history_limit(n);
  }

  // The average of the inputs, of that average, and of that one.
  const ExponentialAverage& single() const { return e1_; }
  // The average of single().
  const ExponentialAverage& double_smoothed() const { return e2_; }
  // The average of double_smoothed().
  const ExponentialAverage& triple_smoothed() const { return e3_; }

 private:
  ExponentialAverage e1_;
  ExponentialAverage e2_;
  ExponentialAverage e3_;
};

}  // namespace tolbu_sdk::ta::support

#pragma once
// Per-input snapshots of running state that an indicator's outputs do not hold (Wilder
// averages, values read back a fixed number of inputs later). One push per input; an undo pops
// the newest, so a removed or updated input restores the state exactly. A bounded history
// keeps the `depth` newest snapshots the computation reads beyond those its owner may undo.

#include <algorithm>
#include <cstddef>

#include "tolbu_sdk/ta/support/ring_buffer.hpp"
#include "tolbu_sdk/ta/support/undoable.hpp"

namespace tolbu_sdk::ta::support {

template <class T>
class StateHistory final : public Undoable {
 public:
  explicit StateHistory(std::size_t depth = 1) : depth_(std::max<std::size_t>(depth, 1)) {}

  void push(const T& state) { states_.push_back(state); }

  bool empty() const { return states_.empty(); }
  std::size_t size() const { return states_.size(); }
  // k = 0 is the newest snapshot. Unchecked (asserted).
  const T& back(std::size_t k = 0) const { return states_.back(k); }

  void undo() override {
    if (!states_.empty()) states_.pop_back();
  }
  void reset() override { states_.clear(); }
  void set_history_limit(std::size_t n) override { states_.set_max_size(n == 0 ? 0 : n + depth_); }

 private:
  std::size_t depth_;
  RingBuffer<T> states_;
};

// A block's whole running state as one step per push (a StateHistory of depth 1) with the
// newest step at hand, since every push starts from it: the empty step when there is none. Not
// an Undoable itself: its owner forwards undo, reset and the history limit (a virtual member
// here made RSI's add twice as slow).
template <class Step>
class StepHistory {
 public:
  const Step& newest() const { return newest_; }
  void push(const Step& s) {
    steps_.push(s);
    newest_ = s;
  }
  void undo() {
    steps_.undo();
    newest_ = steps_.empty() ? Step{} : steps_.back();
  }
  void reset() {
    steps_.reset();
    newest_ = Step{};
  }
  void set_history_limit(std::size_t n) { steps_.set_history_limit(n); }

 private:
  StateHistory<Step> steps_;
  Step newest_{};
};

}  // namespace tolbu_sdk::ta::support

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

// Snapshots of state `T`, one per input of the owner, undone by popping the newest.
template <class T>
class StateHistory final : public Undoable {
 public:
  // Keeps `depth` snapshots readable beyond those the owner may undo (at least 1).
  explicit StateHistory(std::size_t depth = 1) : depth_(std::max<std::size_t>(depth, 1)) {}

  // Records the state after the newest input.
  void push(const T& state) { states_.push_back(state); }

  // Whether no snapshot is held.
  bool empty() const { return states_.empty(); }
  // Number of snapshots held.
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
  // The newest step, or the empty step when there is none.
  const Step& newest() const { return newest_; }
  // Records the step of a new push.
  void push(const Step& s) {
    steps_.push(s);
    newest_ = s;
  }
  // Drops the newest step; the one before is newest again.
  void undo() {
    steps_.undo();
    newest_ = steps_.empty() ? Step{} : steps_.back();
  }
  // Drops every step.
  void reset() {
    steps_.reset();
    newest_ = Step{};
  }
  // Bounds the steps kept as Undoable::set_history_limit does.
  void set_history_limit(std::size_t n) { steps_.set_history_limit(n); }

 private:
  StateHistory<Step> steps_;
  Step newest_{};
};

}  // namespace tolbu_sdk::ta::support

#pragma once
// Per-input snapshots of an indicator's running state (cumulative sums, band levels, trend
// flags) that its outputs alone do not hold. One push per input; undoing pops the newest, so a
// removed or updated input restores the state exactly instead of subtracting it back out.

#include <algorithm>
#include <cstddef>

#include "tolbu_sdk/ta/support/ring_buffer.hpp"
#include "tolbu_sdk/ta/support/undoable.hpp"

namespace tolbu_sdk::ta::support {

template <class T>
class VolvolStateHistory final : public Undoable {
 public:
  void push(const T& state) { states_.push_back(state); }

  bool empty() const { return states_.empty(); }
  std::size_t size() const { return states_.size(); }
  // k = 0 is the newest snapshot. Unchecked (asserted).
  const T& back(std::size_t k = 0) const { return states_.back(k); }

  void undo() override {
    if (!states_.empty()) states_.pop_back();
  }
  void reset() override { states_.clear(); }
  // The newest snapshot is all the next input needs; keep one more so an undo still finds
  // the one before it.
  void set_history_limit(std::size_t n) override {
    states_.set_max_size(n == 0 ? 0 : std::max<std::size_t>(n, 2));
  }

 private:
  RingBuffer<T> states_;
};

}  // namespace tolbu_sdk::ta::support

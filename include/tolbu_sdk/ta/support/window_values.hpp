#pragma once
// The newest values that a rolling block's monotonic queues are built from. An undo drops the
// newest value and marks the queues stale: the block rebuilds them from the window when next
// read (O(period), once per undo) rather than keeping per-push snapshots of them.

#include <cstddef>
#include <cstdint>

#include "tolbu_sdk/ta/support/ring_buffer.hpp"

namespace tolbu_sdk::ta::support {

// The values behind a rolling block's monotonic queues, with the bookkeeping of undo.
template <class T>
struct WindowValues {
  // The newest values, oldest first.
  RingBuffer<T> values;
  std::uint64_t count = 0;     // values pushed (less undone), also those a bounded history dropped
  mutable bool stale = false;  // the queues miss an undo

  // The position of the value pushed.
  std::uint64_t push(const T& v) {
    values.push_back(v);
    return count++;
  }
  // Drops the newest value and marks the queues stale.
  void undo() {
    if (values.empty()) return;
    values.pop_back();
    --count;
    stale = true;
  }
  // Drops every value.
  void clear() {
    values.clear();
    count = 0;
    stale = false;
  }
  // Keeps the widest window beyond the n values its owner may undo.
  void set_history_limit(std::size_t n, std::size_t widest) {
    values.set_max_size(n == 0 ? 0 : n + widest);
  }
};

}  // namespace tolbu_sdk::ta::support

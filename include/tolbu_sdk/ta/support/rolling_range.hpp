#pragma once
// Highest high and lowest low over one or more windows of the newest (high, low) pairs, for
// the stochastics and for Ichimoku's three midpoints. One monotonic queue per side serves every
// window: each window keeps its own head, the oldest queue entry still inside it, so a push
// costs amortised O(1) whatever the number of windows, and the queue entries carry their values
// (no lookup in the history per comparison). An undo rebuilds the queues from the widest window
// when next needed (O(period), once per undo).

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <utility>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/support/ring_buffer.hpp"
#include "tolbu_sdk/ta/support/undoable.hpp"
#include "tolbu_sdk/ta/support/window_values.hpp"

namespace tolbu_sdk::ta::support {

// Highest high and lowest low over up to four windows of the newest (high, low) pairs.
class TOLBU_API RollingRange final : public Undoable {
 public:
  // The most windows one block serves.
  static constexpr std::size_t kMaxWindows = 4;

  // One window of `period` pairs.
  explicit RollingRange(std::size_t period) : RollingRange({period}) {}
  // Periods of the windows, in the order high(w) and low(w) take them.
  explicit RollingRange(std::initializer_list<std::size_t> periods) {
    if (periods.size() == 0 || periods.size() > kMaxWindows) {
      throw ValueError("a rolling range takes one to four windows");
    }
    for (std::size_t p : periods) {
      periods_[windows_] = std::max<std::size_t>(p, 1);
      if (periods_[windows_] > widest_) {
        widest_ = periods_[windows_];
        highs_.widest = lows_.widest = windows_;
      }
      ++windows_;
    }
    std::size_t capacity = 1;
    while (capacity < widest_ + 1) capacity *= 2;  // a queue holds at most widest + 1 entries
    highs_.allocate(capacity);
    lows_.allocate(capacity);
  }

  // Adds a (high, low) pair as the newest of every window.
  void push(double high, double low) {
    if (window_.stale) rebuild();
    insert(window_.push({high, low}), high, low);
  }
  // Adds a number as both high and low, for the range of a series.
  void push(double x) { push(x, x); }

  // Pairs pushed (less those undone), also those a bounded history no longer holds.
  std::size_t count() const { return static_cast<std::size_t>(window_.count); }
  // Whether window w holds its period of pairs.
  bool full(std::size_t w = 0) const { return window_.count >= periods_[w]; }
  // The extremes of window w; at least one pair must have been pushed.
  double high(std::size_t w = 0) const {
    if (window_.stale) rebuild();
    return highs_.front(w);
  }
  // @copydoc high
  double low(std::size_t w = 0) const {
    if (window_.stale) rebuild();
    return lows_.front(w);
  }

  void undo() override { window_.undo(); }
  void reset() override {
    window_.clear();
    highs_.clear();
    lows_.clear();
  }
  void set_history_limit(std::size_t n) override { window_.set_history_limit(n, widest_); }

 private:
  struct Entry {
    std::uint64_t pos;  // which push
    double value;
  };

  // A monotonic queue in a power-of-two array indexed by ever-growing slot numbers; entries
  // before the widest window's head are expired.
  template <class Keeps>  // Keeps(queued, incoming): whether the queued entry stays
  struct Queue {
    std::unique_ptr<Entry[]> slots;
    std::uint64_t mask = 0;
    std::uint64_t tail = 0;
    std::array<std::uint64_t, kMaxWindows> heads{};
    std::size_t widest = 0;  // index of the widest window in heads

    void allocate(std::size_t capacity) {
      slots = std::make_unique<Entry[]>(capacity);
      mask = capacity - 1;
    }
    void clear() {
      tail = 0;
      heads.fill(0);
    }
    double front(std::size_t w) const { return slots[heads[w] & mask].value; }

    void insert(std::uint64_t pos, double x, const std::array<std::size_t, kMaxWindows>& periods,
                std::size_t windows) {
      const std::uint64_t oldest = heads[widest];
      while (tail != oldest && !Keeps{}(slots[(tail - 1) & mask].value, x)) --tail;
      slots[tail & mask] = {pos, x};
      for (std::size_t w = 0; w < windows; ++w) {
        std::uint64_t& h = heads[w];
        if (h > tail) h = tail;  // its first entry was just displaced
        // One push moves each window by one: at most one entry leaves it.
        if (slots[h & mask].pos + periods[w] <= pos) ++h;
      }
      ++tail;
    }
  };
  // Equal values: the newest stays, which keeps the queue short.
  struct Greater {
    bool operator()(double queued, double incoming) const { return queued > incoming; }
  };
  struct Less {
    bool operator()(double queued, double incoming) const { return queued < incoming; }
  };

  void insert(std::uint64_t pos, double high, double low) const {
    highs_.insert(pos, high, periods_, windows_);
    lows_.insert(pos, low, periods_, windows_);
  }

  void rebuild() const {
    window_.stale = false;
    highs_.clear();
    lows_.clear();
    const std::size_t n = std::min(window_.values.size(), widest_);
    for (std::size_t k = n; k-- > 0;) {
      const auto& [high, low] = window_.values.back(k);
      insert(window_.count - 1 - k, high, low);
    }
  }

  std::array<std::size_t, kMaxWindows> periods_{};
  std::size_t windows_ = 0;
  std::size_t widest_ = 0;
  WindowValues<std::pair<double, double>> window_;
  mutable Queue<Greater> highs_;
  mutable Queue<Less> lows_;
};

}  // namespace tolbu_sdk::ta::support

#pragma once
// The bar history of one instrument: bounded, chronological, indexed from the newest bar.
//
//   bars[0] / current()   the newest bar
//   bars[-1] / bars[1]    the bar before it (both signs count back from the newest)
//   out of range          std::nullopt, never an error
//
// Indexing returns a copy, so a bar read before add, update or load stays what it was:
//
//   const auto prev = bars.current();
//   bars.add(next);
//   if (prev) use(prev->close);  // still the bar read above
//
// Bars live in a ring buffer, so add() at capacity drops the oldest in O(1). Capacity 0 keeps
// every bar. Iterators, like a standard container's, are invalidated by add, update and load.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/strategy/bar.hpp"

namespace tolbu_sdk::strategy {

// The bar history of one instrument, newest at index 0 (see the top of this file).
class TOLBU_API Bars {
 public:
  // The capacity of a default-made history.
  static constexpr int DEFAULT_MAX_BARS = 1000;

  // max_bars: the most bars kept after add and load; 0 means unbounded. Negative values are
  // a ValueError.
  explicit Bars(int max_bars = DEFAULT_MAX_BARS);

  // Number of bars held.
  std::size_t size() const noexcept { return _size; }
  // Number of bars held, as size().
  std::size_t count() const noexcept { return _size; }
  // Whether no bar is held.
  bool empty() const noexcept { return _size == 0; }
  // The capacity (0: unbounded).
  int max_bars() const noexcept { return _max_bars; }

  // A copy of the bar |index| places back from the newest, or nullopt.
  std::optional<Bar> operator[](std::int64_t index) const;
  // The newest bar, or nullopt.
  std::optional<Bar> current() const { return (*this)[0]; }
  // The bar before the newest, or nullopt.
  std::optional<Bar> previous() const { return (*this)[-1]; }

  // Appends the newest bar, dropping the oldest beyond capacity.
  void add(const Bar& bar);
  // @copydoc add(const Bar&)
  void add(Bar&& bar);
  // Replaces the newest bar (the forming bar changed); appends on an empty history.
  void update(const Bar& bar);
  // @copydoc update(const Bar&)
  void update(Bar&& bar);
  // Replaces the history with copies of the newest max_bars entries of bars (oldest first).
  void load(std::span<const Bar> bars);

  // The closes, one per bar, oldest first: the newest `count` bars, all of them for 0 or when
  // fewer are held. A negative count is a ValueError.
  std::vector<double> closes(int count = 0) const;
  // The opens, likewise.
  std::vector<double> opens(int count = 0) const;
  // The highs, likewise.
  std::vector<double> highs(int count = 0) const;
  // The lows, likewise.
  std::vector<double> lows(int count = 0) const;
  // The volumes, likewise.
  std::vector<double> volumes(int count = 0) const;

  // The highest high over the window of the newest `period` bars (all for 0); 0 on an empty
  // history. A negative period is a ValueError.
  double highest(int period) const;
  // The lowest low, likewise.
  double lowest(int period) const;
  // The mean close, likewise.
  double sma(int period) const;
  // Seeded with the oldest close of the window, k = 2 / (period + 1); for period 0, k comes
  // from the number of bars held.
  double ema(int period) const;

  // Chronological iteration, oldest first.
  class const_iterator {
   public:
    // A forward iterator.
    using iterator_category = std::forward_iterator_tag;
    // It visits bars.
    using value_type = Bar;
    // The distance between two positions.
    using difference_type = std::ptrdiff_t;
    // What operator->() returns.
    using pointer = const Bar*;
    // What operator*() returns.
    using reference = const Bar&;

    // A singular iterator, to be assigned.
    const_iterator() = default;
    // The bar.
    reference operator*() const noexcept { return _owner->at_logical(_pos); }
    // The bar's members.
    pointer operator->() const noexcept { return &_owner->at_logical(_pos); }
    // On to the next newer bar.
    const_iterator& operator++() noexcept {
      ++_pos;
      return *this;
    }
    // On to the next newer bar, returning the position before.
    const_iterator operator++(int) noexcept {
      const_iterator old = *this;
      ++_pos;
      return old;
    }
    // Same position.
    bool operator==(const const_iterator& o) const noexcept { return _pos == o._pos; }

   private:
    friend class Bars;
    const_iterator(const Bars* owner, std::size_t pos) : _owner(owner), _pos(pos) {}
    const Bars* _owner = nullptr;
    std::size_t _pos = 0;
  };
  // Iterator to the oldest bar.
  const_iterator begin() const noexcept { return {this, 0}; }
  // Iterator past the newest bar.
  const_iterator end() const noexcept { return {this, _size}; }

  // Same capacity and the same bars in the same order.
  bool operator==(const Bars& other) const;

 private:
  // Logical position 0 is the oldest held bar.
  const Bar& at_logical(std::size_t pos) const noexcept {
    std::size_t i = _head + pos;
    if (i >= _bars.size()) i -= _bars.size();
    return _bars[i];
  }
  Bar& newest() noexcept { return const_cast<Bar&>(at_logical(_size - 1)); }
  // Index of the first bar of the newest-`count` window; validates count.
  std::size_t window_start(int count, const char* name) const;
  // The bars from logical position start to the newest, as at most two contiguous runs.
  struct Runs {
    const Bar* first;
    std::size_t first_size;
    const Bar* second;
    std::size_t second_size;
  };
  Runs runs_from(std::size_t start) const noexcept;
  template <class B>
  void add_impl(B&& bar);
  template <class Field>
  std::vector<double> series(int count, const char* name, Field field) const;

  std::vector<Bar> _bars;  // ring storage; the oldest bar is at _head
  std::size_t _head = 0;
  std::size_t _size = 0;
  int _max_bars;
};

}  // namespace tolbu_sdk::strategy

#pragma once
// Pivots: the turning bars that PivotsHL and ZigZag find.
//
// Their outputs are the pivots, not one value per bar: size(), output_value(), pivots(),
// operator[] and value() show the pivots found so far, oldest first. The newest pivot is
// provisional: while the move it ends goes on (a higher high after a HIGH, a lower low after a
// LOW) it is replaced by the newer bar; it becomes final when the opposite pivot starts. The
// per-bar stream that chained indicators receive is the pivot each bar made final, absent on
// the other bars, so what reaches them never changes afterwards.

#include <cstddef>
#include <optional>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/ring_buffer.hpp"
#include "tolbu_sdk/ta/support/undoable.hpp"

namespace tolbu_sdk::ta {

// A confirmed or provisional turning bar, as PivotsHL and ZigZag report it.
struct TOLBU_API Pivot {
  // The bar at the turn.
  OHLCV ohlcv;
  // HIGH for a top, LOW for a bottom.
  PivotType type = PivotType::HIGH;

  // Same bar and same type.
  bool operator==(const Pivot&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"ohlcv", ohlcv}, {"type", type}}; }
};

// The base of the indicators whose outputs are pivots rather than one value per bar.
class TOLBU_API PivotIndicator : public Indicator<OHLCV, Pivot> {
 public:
  // The pivots found so far, oldest first; the newest is provisional.
  const support::RingBuffer<Pivot>& pivots() const {
    _sync();
    return list_.pivots;
  }
  // Number of pivots found so far.
  std::size_t size() const override { return pivots().size(); }
  // The pivot at index i (negative: from the newest), as a dynamic value.
  Value output_value(std::ptrdiff_t i) const override { return to_value(pivots()[i]); }
  // Checked; negative indices count from the newest.
  const Pivot& operator[](std::ptrdiff_t i) const { return pivots()[i]; }
  // The newest pivot; absent before the first.
  std::optional<Pivot> value() const {
    const auto& p = pivots();
    return p.empty() ? std::nullopt : std::optional<Pivot>(p.back());
  }
  // Drops the n oldest pivots; the newest stays, since the search may still move it.
  void purge_oldest(std::size_t n) override;

 protected:
  // For a derived search; the options are an indicator's.
  explicit PivotIndicator(const IndicatorOptions& options);

  // What one bar does to the pivots.
  struct Step {
    // NONE: no change; START: a new provisional pivot; MOVE: the provisional one moves.
    enum Kind { NONE, START, MOVE } kind = NONE;  // what this bar does
    // The type of the pivot started or moved.
    PivotType type = PivotType::HIGH;
  };
  // The bar changes nothing.
  static Step none() { return {}; }
  // A new provisional pivot of `type` at the newest bar; the one before becomes final.
  static Step start(PivotType type) { return {Step::START, type}; }
  // The provisional pivot moves to the newest bar.
  static Step move(PivotType type) { return {Step::MOVE, type}; }

  // The search: called once per bar, with input_values().back() the new bar.
  virtual Step _find_pivot() = 0;

  // The provisional pivot, if any, and the input_count() of its bar.
  const Pivot* _newest() const { return list_.pivots.empty() ? nullptr : &list_.pivots.back(); }
  // @copydoc _newest
  std::size_t _newest_position() const { return list_.positions.back(); }

 private:
  std::optional<Pivot> _calculate_new_value() final;

  // The pivots and, per bar, what the bar changed, so that removing a bar restores them.
  struct List final : support::Undoable {
    // What one bar changed, kept so that removing the bar can put it back.
    struct Change {
      // What the bar did.
      Step::Kind kind = Step::NONE;
      // MOVE: the pivot before the move; START: the one it made final, which a removal makes
      // the newest again even once purged (if there was one).
      Pivot replaced;
      // The input_count() of the bar of `replaced`.
      std::size_t replaced_position = 0;
      // Whether `replaced` holds a pivot.
      bool has_replaced = false;
    };
    support::RingBuffer<Pivot> pivots;
    support::RingBuffer<std::size_t> positions;
    support::RingBuffer<Change> changes;

    void undo() override;
    void reset() override;
    void set_history_limit(std::size_t n) override;
  };
  List list_;
};

}  // namespace tolbu_sdk::ta

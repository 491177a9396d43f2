#pragma once
// The contract between an indicator and the incremental state it owns (support blocks,
// inner indicators): every present input pushes each managed part once, and removing that
// input undoes the push. An indicator registers its parts with `_manage`, and the base then
// undoes, resets and bounds them together with the indicator's own history.

#include <cstddef>

#include "tolbu_sdk/platform/export.hpp"

// Building blocks of the indicators: rolling windows and averages whose pushes can be undone.
namespace tolbu_sdk::ta::support {

// The interface of a part an indicator manages: undone, reset and bounded with it.
class TOLBU_API Undoable {
 public:
  virtual ~Undoable() = default;
  // Reverts the newest push.
  virtual void undo() = 0;
  // Forgets everything.
  virtual void reset() = 0;
  // Bounds the history (0: unbounded): the owner holds at most n inputs and may undo that
  // many pushes, so a part keeps n states on top of what its window reads after them.
  virtual void set_history_limit(std::size_t n) = 0;
  // Called when an indicator takes this as a part: what the part is fed was computed from
  // inputs its owner already checked.
  virtual void mark_as_part() {}
};

}  // namespace tolbu_sdk::ta::support

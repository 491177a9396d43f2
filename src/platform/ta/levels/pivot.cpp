#include "tolbu_sdk/ta/levels/pivot.hpp"

#include <algorithm>

namespace tolbu_sdk::ta {

PivotIndicator::PivotIndicator(const IndicatorOptions& options) : Indicator(options) {
  _manage(list_);
}

std::optional<Pivot> PivotIndicator::_calculate_new_value() {
  const Step step = _find_pivot();
  const Pivot pivot{input_values().back(), step.type};
  const std::size_t position = input_count();
  std::optional<Pivot> made_final;
  List::Change change{step.kind, {}, 0};
  switch (step.kind) {
    case Step::NONE:
      break;
    case Step::START:
      if (!list_.pivots.empty()) made_final = list_.pivots.back();
      if (list_.pivots.max_size() != 0 && list_.pivots.size() == list_.pivots.max_size()) {
        ++list_.dropped;
      }
      list_.pivots.push_back(pivot);
      list_.positions.push_back(position);
      break;
    case Step::MOVE:
      change.replaced = list_.pivots.back();
      change.replaced_position = list_.positions.back();
      list_.pivots.back() = pivot;
      list_.positions.back() = position;
      break;
  }
  list_.changes.push_back(change);
  return made_final;
}

void PivotIndicator::purge_oldest(std::size_t n) {
  _sync();
  const std::size_t k = std::min(n, list_.pivots.empty() ? 0 : list_.pivots.size() - 1);
  list_.pivots.pop_front(k);
  list_.positions.pop_front(k);
  list_.dropped += k;
}

void PivotIndicator::_on_remove() {
  // Undoing a start makes the pivot before it the newest again, which the search reads.
  const auto& l = list_;
  if (l.dropped != 0 && l.pivots.size() == 1 && !l.changes.empty() &&
      l.changes.back().kind == Step::START) {
    detail::throw_history_too_short();
  }
}

void PivotIndicator::List::undo() {
  if (changes.empty()) return;
  const Change c = changes.back();
  changes.pop_back();
  if (c.kind == Step::START && !pivots.empty()) {
    pivots.pop_back();
    positions.pop_back();
  } else if (c.kind == Step::MOVE && !pivots.empty()) {
    pivots.back() = c.replaced;
    positions.back() = c.replaced_position;
  }
}

void PivotIndicator::List::reset() {
  pivots.clear();
  positions.clear();
  changes.clear();
  dropped = 0;
}

void PivotIndicator::List::set_history_limit(std::size_t n) {
  const std::size_t cap = n == 0 ? 0 : n + 1;  // the search reads the newest pivot
  if (cap != 0 && pivots.size() > cap) dropped += pivots.size() - cap;
  pivots.set_max_size(cap);
  positions.set_max_size(cap);
  changes.set_max_size(cap);
}

}  // namespace tolbu_sdk::ta

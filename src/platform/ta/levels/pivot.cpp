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
      if (!list_.pivots.empty()) {
        made_final = list_.pivots.back();
        change.replaced = list_.pivots.back();
        change.replaced_position = list_.positions.back();
        change.has_replaced = true;
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
}

void PivotIndicator::List::undo() {
  if (changes.empty()) return;
  const Change c = changes.back();
  changes.pop_back();
  if (c.kind == Step::START && !pivots.empty()) {
    pivots.pop_back();
    positions.pop_back();
    if (pivots.empty() && c.has_replaced) {  // purged or past the bound: the search reads it
      pivots.push_back(c.replaced);
      positions.push_back(c.replaced_position);
    }
  } else if (c.kind == Step::MOVE && !pivots.empty()) {
    pivots.back() = c.replaced;
    positions.back() = c.replaced_position;
  }
}

void PivotIndicator::List::reset() {
  pivots.clear();
  positions.clear();
  changes.clear();
}

void PivotIndicator::List::set_history_limit(std::size_t n) {
  const std::size_t cap = n == 0 ? 0 : std::max<std::size_t>(n, 2);
  pivots.set_max_size(cap);
  positions.set_max_size(cap);
  changes.set_max_size(cap);
}

}  // namespace tolbu_sdk::ta

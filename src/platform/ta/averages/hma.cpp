#include "tolbu_sdk/ta/averages/hma.hpp"

#include <cmath>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {
namespace {
int half_of(int period) { return period / 2 > 0 ? period / 2 : 1; }
int sqrt_of(int period) {
  const int s = static_cast<int>(std::sqrt(static_cast<double>(period)));
  return s > 0 ? s : 1;
}
}  // namespace

HMA::HMA(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("HMA", "period", period), options),
      sqrt_period_(static_cast<std::size_t>(sqrt_of(period))),
      full_(static_cast<std::size_t>(period)),
      half_(static_cast<std::size_t>(half_of(period))),
      hull_(static_cast<std::size_t>(sqrt_of(period))) {
  _manage(full_);
  _manage(half_);
  hull_.set_history_limit(_history_cap());
}

void HMA::set_history_limit(std::size_t n) {
  PeriodIndicator::set_history_limit(n);
  hull_.set_history_limit(_history_cap());  // pushed on fewer inputs than ours, undone with them
}

std::optional<double> HMA::_calculate_new_value() {
  const double x = input_values().back();
  full_.push(x);
  half_.push(x);
  if (full_.full()) hull_.push(2 * half_.mean() - full_.mean());  // the half is full first
  // The first value comes with input period + 2 * sqrt - 2 (not as soon as the WMAs allow).
  if (input_count() + 2 < static_cast<std::size_t>(period_) + 2 * sqrt_period_) {
    return std::nullopt;
  }
  return hull_.mean();
}

void HMA::_on_remove() {
  if (full_.full()) hull_.undo();  // the newest input pushed it
}

void HMA::_on_reset() { hull_.reset(); }

HMA::HMA(Params& p, const IndicatorOptions& o) : HMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(HMA)

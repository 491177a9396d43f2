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
    : Indicator(options),
      _period(detail::positive("HMA", "period", period)),
      _sqrt_period(static_cast<std::size_t>(sqrt_of(period))),
      _full(static_cast<std::size_t>(period)),
      _half(static_cast<std::size_t>(half_of(period))),
      _hull(static_cast<std::size_t>(sqrt_of(period))) {
  _manage(_full);
  _manage(_half);
  _hull.set_history_limit(max_history());
}

std::optional<double> HMA::_calculate_new_value() {
  const double x = input_values().back();
  _full.push(x);
  _half.push(x);
  if (_full.full()) _hull.push(2 * _half.mean() - _full.mean());  // the half is full first
  // The first value comes with input period + 2 * sqrt - 2 (not as soon as the WMAs allow).
  if (input_count() + 2 < static_cast<std::size_t>(_period) + 2 * _sqrt_period) {
    return std::nullopt;
  }
  return _hull.mean();
}

void HMA::_on_remove() {
  if (_full.full()) _hull.undo();  // the newest input pushed it
}

void HMA::_on_reset() { _hull.reset(); }

HMA::HMA(Params& p, const IndicatorOptions& o) : HMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(HMA)

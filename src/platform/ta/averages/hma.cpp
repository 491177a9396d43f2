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
      _full(period),
      _half(half_of(period)),
      _hull(sqrt_of(period)) {
  _manage(_full);
  _manage(_half);
  _manage(_hull);
}

std::optional<double> HMA::_calculate_new_value() {
  const double x = input_values().back();
  _full.add(x);
  _half.add(x);
  const auto full = _full.value();
  const auto half = _half.value();
  _hull.add(full && half ? std::optional<double>(2 * *half - *full) : std::nullopt);
  if (input_count() <= static_cast<std::size_t>(_period) + _sqrt_period) return std::nullopt;
  return _hull.value();
}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(HMA, [](Params& p, const IndicatorOptions& o) {
  return std::make_unique<HMA>(p.integer("period"), o);
})

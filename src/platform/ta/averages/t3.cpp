#include "tolbu_sdk/ta/averages/t3.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

T3::T3(int period, double factor, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("T3", "period", period)),
      _factor(factor),
      _ema{support::ExponentialAverage(static_cast<std::size_t>(period)),
           support::ExponentialAverage(static_cast<std::size_t>(period)),
           support::ExponentialAverage(static_cast<std::size_t>(period)),
           support::ExponentialAverage(static_cast<std::size_t>(period)),
           support::ExponentialAverage(static_cast<std::size_t>(period)),
           support::ExponentialAverage(static_cast<std::size_t>(period))} {
  const double f = factor;
  _c1 = -f * f * f;
  _c2 = 3 * f * f + 3 * f * f * f;
  _c3 = -6 * f * f - 3 * f - 3 * f * f * f;
  _c4 = 1 + 3 * f + f * f * f + 3 * f * f;
  for (auto& e : _ema) _manage(e);
}

std::optional<double> T3::_calculate_new_value() {
  bool present = true;
  double v = input_values().back();
  for (auto& e : _ema) {
    present ? e.push(v) : e.push_absent();
    present = e.ready();
    if (present) v = e.value();
  }
  if (!present) return std::nullopt;
  return _c1 * v + _c2 * _ema[4].value() + _c3 * _ema[3].value() + _c4 * _ema[2].value();
}

T3::T3(Params& p, const IndicatorOptions& o)
    : T3{p.integer("period"), p.number("factor", 0.7), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(T3)

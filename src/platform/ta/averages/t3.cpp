#include "tolbu_sdk/ta/averages/t3.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

T3::T3(int period, double factor, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("T3", "period", period), options),
      factor_(factor),
      ema_{support::ExponentialAverage(static_cast<std::size_t>(period)),
           support::ExponentialAverage(static_cast<std::size_t>(period)),
           support::ExponentialAverage(static_cast<std::size_t>(period)),
           support::ExponentialAverage(static_cast<std::size_t>(period)),
           support::ExponentialAverage(static_cast<std::size_t>(period)),
           support::ExponentialAverage(static_cast<std::size_t>(period))} {
  const double f = factor;
  c1_ = -f * f * f;
  c2_ = 3 * f * f + 3 * f * f * f;
  c3_ = -6 * f * f - 3 * f - 3 * f * f * f;
  c4_ = 1 + 3 * f + f * f * f + 3 * f * f;
  for (auto& e : ema_) _manage(e);
}

std::optional<double> T3::_calculate_new_value() {
  bool present = true;
  double v = input_values().back();
  for (auto& e : ema_) {
    present ? e.push(v) : e.push_absent();
    present = e.ready();
    if (present) v = e.value();
  }
  if (!present) return std::nullopt;
  return c1_ * v + c2_ * ema_[4].value() + c3_ * ema_[3].value() + c4_ * ema_[2].value();
}

T3::T3(Params& p, const IndicatorOptions& o)
    : T3{p.integer("period"), p.number("factor", 0.7), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(T3)

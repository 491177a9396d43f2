#include "tolbu_sdk/ta/averages/kama.hpp"

#include <cmath>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

KAMA::KAMA(int period, int fast_ema_constant_period, int slow_ema_constant_period,
           const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("KAMA", "period", period), options),
      fast_(2.0 /
            (detail::positive("KAMA", "fast_ema_constant_period", fast_ema_constant_period) + 1.0)),
      slow_(2.0 /
            (detail::positive("KAMA", "slow_ema_constant_period", slow_ema_constant_period) + 1.0)),
      volatility_(static_cast<std::size_t>(period)) {
  _keep_history(static_cast<std::size_t>(period) + 1);
  _manage(volatility_);
}

std::optional<double> KAMA::_calculate_new_value() {
  const auto& in = input_values();
  const auto p = static_cast<std::size_t>(period_);
  // One change per input after the first; a placeholder keeps the pushes in step.
  volatility_.push(input_count() > 1 ? std::fabs(in.back() - in.back(1)) : 0.0);
  if (input_count() <= p) return std::nullopt;
  const double change = std::fabs(in.back() - in.back(p));
  const double volatility = volatility_.sum();
  const double er = volatility != 0.0 ? change / volatility : 0.0;
  const double sc = std::pow(er * (fast_ - slow_) + slow_, 2);
  const auto prev = _previous_output();
  const double base = prev ? *prev : in.back(1);
  return base + sc * (in.back() - base);
}

KAMA::KAMA(Params& p, const IndicatorOptions& o)
    : KAMA{p.integer("period"), p.integer("fast_ema_constant_period"),
           p.integer("slow_ema_constant_period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(KAMA)

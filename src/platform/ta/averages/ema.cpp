#include "tolbu_sdk/ta/averages/ema.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

EMA::EMA(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("EMA", "period", period)),
      _alpha(2.0 / (period + 1.0)) {
  _keep_history(static_cast<std::size_t>(period));
}

std::optional<double> EMA::_calculate_new_value() {
  const auto n = input_count();
  const auto p = static_cast<std::size_t>(_period);
  if (n < p) return std::nullopt;
  const auto& in = input_values();
  if (n == p) {
    double sum = 0.0;
    for (std::size_t k = p; k-- > 0;) sum += in.back(k);
    return sum / _period;
  }
  const double prev = *_previous_output();
  return prev + _alpha * (in.back() - prev);
}

EMA::EMA(Params& p, const IndicatorOptions& o) : EMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(EMA)

#include "tolbu_sdk/ta/averages/ema.hpp"

#include "../check.hpp"
#include "seeded_average.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

EMA::EMA(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("EMA", "period", period), options),
      alpha_(2.0 / (period + 1.0)) {
  _keep_history(static_cast<std::size_t>(period));
}

std::optional<double> EMA::_calculate_new_value() {
  return detail::seeded_average(input_values(), input_count(), period_, [this](double x) {
    const double prev = *_previous_output();
    return prev + alpha_ * (x - prev);
  });
}

EMA::EMA(Params& p, const IndicatorOptions& o) : EMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(EMA)

#include "tolbu_sdk/ta/averages/alma.hpp"

#include <cmath>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

ALMA::ALMA(int period, double offset, double sigma, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("ALMA", "period", period), options) {
  if (!(sigma > 0.0) || !std::isfinite(sigma)) {
    throw ValueError("ALMA: sigma must be a positive number");
  }
  const double m = detail::finite("ALMA", "offset", offset) * (period - 1);
  const double s = period / sigma;
  double total = 0.0;
  for (int i = 0; i < period; ++i) {
    weights_.push_back(std::exp(-(i - m) * (i - m) / (2 * s * s)));
    total += weights_.back();
  }
  for (double& w : weights_) w /= total;
  _keep_history(static_cast<std::size_t>(period));
}

std::optional<double> ALMA::_calculate_new_value() {
  const auto p = static_cast<std::size_t>(period_);
  if (input_count() < p) return std::nullopt;
  const auto& in = input_values();
  double sum = 0.0;
  for (std::size_t i = 0; i < p; ++i) sum += weights_[i] * in.back(p - 1 - i);
  return sum;
}

ALMA::ALMA(Params& p, const IndicatorOptions& o)
    : ALMA{p.integer("period"), p.number("offset"), p.number("sigma"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(ALMA)

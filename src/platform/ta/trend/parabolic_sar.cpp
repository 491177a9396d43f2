#include "tolbu_sdk/ta/trend/parabolic_sar.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include <fmt/format.h>

#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {
namespace {

double factor(std::string_view name, double v, double at_least, bool strictly) {
  if (!std::isfinite(v) || v < at_least || (strictly && v == at_least)) {
    throw ValueError(fmt::format("ParabolicSAR: {} must be {} {}, not {}", name,
                                 strictly ? "above" : "at least", at_least, v));
  }
  return v;
}

}  // namespace

ParabolicSAR::ParabolicSAR(double init_accel_factor, double accel_factor_inc,
                           double max_accel_factor, const IndicatorOptions& options)
    : Indicator(options),
      init_(factor("init_accel_factor", init_accel_factor, 0.0, true)),
      inc_(factor("accel_factor_inc", accel_factor_inc, 0.0, false)),
      max_(factor("max_accel_factor", max_accel_factor, init_accel_factor, false)) {
  _keep_history(WARM_UP);
}

std::optional<ParabolicSARValue> ParabolicSAR::_calculate_new_value() {
  const std::size_t n = input_count();
  if (n < WARM_UP) return std::nullopt;
  const auto& in = input_values();
  const OHLCV& bar = in.back();
  if (n == WARM_UP) {
    double low = bar.low;
    double high = bar.high;
    for (std::size_t k = 1; k < WARM_UP; ++k) {
      low = std::min(low, in.back(k).low);
      high = std::max(high, in.back(k).high);
    }
    return ParabolicSARValue{low, Trend::UP, high, init_};
  }
  const auto prev = _previous_output();
  if (!prev) return std::nullopt;
  double sar = *prev->value + *prev->accel_factor * (*prev->ep - *prev->value);
  double ep = *prev->ep;
  double af = *prev->accel_factor;
  Trend trend = *prev->trend;
  if (trend == Trend::UP) {
    sar = std::min({sar, in.back(1).low, in.back(2).low});
    if (bar.low < sar) {
      trend = Trend::DOWN;
      sar = std::max(ep, bar.high);
      ep = bar.low;
      af = init_;
    } else if (bar.high > ep) {
      ep = bar.high;
      af = std::min(af + inc_, max_);
    }
  } else {
    sar = std::max({sar, in.back(1).high, in.back(2).high});
    if (bar.high > sar) {
      trend = Trend::UP;
      sar = std::min(ep, bar.low);
      ep = bar.high;
      af = init_;
    } else if (bar.low < ep) {
      ep = bar.low;
      af = std::min(af + inc_, max_);
    }
  }
  return ParabolicSARValue{sar, trend, ep, af};
}

ParabolicSAR::ParabolicSAR(Params& p, const IndicatorOptions& o)
    : ParabolicSAR{p.number("init_accel_factor"), p.number("accel_factor_inc"),
                   p.number("max_accel_factor"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(ParabolicSAR)

#include "tolbu_sdk/ta/trend/adx.hpp"

#include <algorithm>
#include <cmath>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {
namespace {

// +DM and -DM of a bar against the one before: only the larger upward or downward extension
// counts, and only when positive.
struct Movement {
  double plus;
  double minus;
};

Movement directional_movement(const OHLCV& bar, const OHLCV& previous) {
  const double up = bar.high - previous.high;
  const double down = previous.low - bar.low;
  return {up > down && up > 0.0 ? up : 0.0, down > up && down > 0.0 ? down : 0.0};
}

// Without movement either way there is no direction: DX 0.
double dx_of(double plus_di, double minus_di) {
  const double sum = plus_di + minus_di;
  return sum == 0.0 ? 0.0 : 100.0 * std::abs(plus_di - minus_di) / sum;
}

}  // namespace

ADX::ADX(int di_period, int adx_period, const IndicatorOptions& options)
    : Indicator(options),
      di_period_(static_cast<std::size_t>(detail::positive("ADX", "di_period", di_period))),
      adx_period_(static_cast<std::size_t>(detail::positive("ADX", "adx_period", adx_period))),
      atr_(di_period) {
  // The +DM/-DM seed reads di_period + 1 bars, the ADX seed adx_period - 1 earlier outputs.
  _keep_history(std::max(di_period_ + 1, adx_period_));
  _manage(atr_);
  _manage(movement_);
}

std::optional<ADXValue> ADX::_calculate_new_value() {
  const auto& in = input_values();
  const std::size_t n = input_count();
  const std::size_t p = di_period_;
  atr_.add(in.back());
  if (n < p + 1) {
    movement_.push(Smoothed{});
    return std::nullopt;
  }
  const auto dp = static_cast<double>(p);
  Movement m{0.0, 0.0};
  if (n == p + 1) {
    for (std::size_t k = 0; k < p; ++k) {
      const Movement dm = directional_movement(in.back(k), in.back(k + 1));
      m.plus += dm.plus;
      m.minus += dm.minus;
    }
    m.plus /= dp;
    m.minus /= dp;
  } else {
    const Movement dm = directional_movement(in.back(), in.back(1));
    const Smoothed& before = movement_.back();
    m.plus = (before.plus * (dp - 1.0) + dm.plus) / dp;
    m.minus = (before.minus * (dp - 1.0) + dm.minus) / dp;
  }
  movement_.push(Smoothed{m.plus, m.minus});

  const double atr = *atr_.value();
  ADXValue out;
  out.plus_di = atr == 0.0 ? 0.0 : 100.0 * m.plus / atr;
  out.minus_di = atr == 0.0 ? 0.0 : 100.0 * m.minus / atr;
  const double dx = dx_of(*out.plus_di, *out.minus_di);

  const std::size_t dx_count = n - p;  // DX values so far, this one included
  const auto q = static_cast<double>(adx_period_);
  if (dx_count == adx_period_) {
    // Seed: the mean of the first adx_period DX values, the earlier ones from our outputs.
    double sum = dx;
    std::size_t taken = 1;
    const auto& outs = output_values();
    for (std::size_t k = 0; k < outs.size() && taken < adx_period_; ++k) {
      const auto& o = outs.back(k);
      if (!o) continue;
      sum += dx_of(*o->plus_di, *o->minus_di);
      ++taken;
    }
    out.adx = sum / q;
  } else if (dx_count > adx_period_) {
    const auto previous = _previous_output();
    if (previous && previous->adx) out.adx = (*previous->adx * (q - 1.0) + dx) / q;
  }
  return out;
}

ADX::ADX(Params& p, const IndicatorOptions& o)
    : ADX{p.integer("di_period"), p.integer("adx_period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(ADX)

#include "tolbu_sdk/ta/momentum/cci.hpp"

#include <cmath>
#include <span>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

CCI::CCI(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("CCI", "period", period), options),
      typical_(static_cast<std::size_t>(period)) {
  _manage(typical_);
}

std::optional<double> CCI::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  const double tp = (bar.high + bar.low + bar.close) / 3.0;
  typical_.push(tp);
  if (!typical_.full()) return std::nullopt;
  // The mean comes from the running sum; the mean deviation, taken around it, needs the window:
  // one pass, with four sums so that the additions do not wait on one another. A window of
  // equal values is seen in the same pass and gives exactly zero, not rounding residue.
  const double mean = typical_.mean();
  double d[4] = {0.0, 0.0, 0.0, 0.0};
  bool flat = true;
  const auto pass = [&](std::span<const double> xs) {
    std::size_t k = 0;
    for (; k + 4 <= xs.size(); k += 4) {
      d[0] += std::abs(xs[k] - mean);
      d[1] += std::abs(xs[k + 1] - mean);
      d[2] += std::abs(xs[k + 2] - mean);
      d[3] += std::abs(xs[k + 3] - mean);
      flat = flat & (xs[k] == tp) & (xs[k + 1] == tp) & (xs[k + 2] == tp) & (xs[k + 3] == tp);
    }
    for (; k < xs.size(); ++k) {
      d[0] += std::abs(xs[k] - mean);
      flat = flat & (xs[k] == tp);
    }
  };
  const auto [older, newer] = typical_.values().newest(static_cast<std::size_t>(period_));
  pass(older);
  pass(newer);
  if (flat) return _previous_output();
  const double deviation = ((d[0] + d[1]) + (d[2] + d[3])) / period_;
  if (deviation == 0.0) return _previous_output();
  return (tp - mean) / (0.015 * deviation);
}

CCI::CCI(Params& p, const IndicatorOptions& o) : CCI{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(CCI)

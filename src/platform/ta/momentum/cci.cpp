#include "tolbu_sdk/ta/momentum/cci.hpp"

#include <cmath>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

CCI::CCI(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("CCI", "period", period)),
      _typical(static_cast<std::size_t>(period)) {
  _manage(_typical);
}

std::optional<double> CCI::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  const double tp = (bar.high + bar.low + bar.close) / 3.0;
  _typical.push(tp);
  if (!_typical.full()) return std::nullopt;
  // The mean deviation is taken around the current mean, so it has no running form: both come
  // from the window. Summing differences from the newest value makes a window of equal values
  // give a deviation of exactly zero, where a running sum would leave rounding residue.
  const auto p = static_cast<std::size_t>(_period);
  double offset = 0.0;
  for (std::size_t k = 1; k < p; ++k) offset += _typical.back(k) - tp;
  const double mean = tp + offset / _period;
  double deviation = 0.0;
  for (std::size_t k = 0; k < p; ++k) deviation += std::abs(_typical.back(k) - mean);
  deviation /= _period;
  if (deviation == 0.0) return _previous_output();
  return (tp - mean) / (0.015 * deviation);
}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(CCI, [](Params& p, const IndicatorOptions& o) {
  return std::make_unique<CCI>(p.integer("period"), o);
})

#include "tolbu_sdk/ta/volatility/chop.hpp"

#include <cmath>
#include <string>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/ta/registry.hpp"
#include "tolbu_sdk/ta/volatility/atr.hpp"

namespace tolbu_sdk::ta {
namespace {

int checked_period(int period) {
  if (period < 2) {
    throw ValueError("CHOP: period must be at least 2, not " + std::to_string(period));
  }
  return period;
}

}  // namespace

CHOP::CHOP(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(checked_period(period)),
      _log_period(std::log10(static_cast<double>(period))),
      _true_range(static_cast<std::size_t>(period)),
      _high(static_cast<std::size_t>(period)),
      _low(static_cast<std::size_t>(period)) {
  _keep_history(2);
  _manage(_true_range);
  _manage(_high);
  _manage(_low);
}

std::optional<double> CHOP::_calculate_new_value() {
  const auto& in = input_values();
  const OHLCV& bar = in.back();
  _true_range.push(true_range(bar, input_count() > 1 ? &in.back(1) : nullptr));
  _high.push(bar.high);
  _low.push(bar.low);
  if (!_high.full()) return std::nullopt;
  const double range = _high.value() - _low.value();
  const double sum = _true_range.sum();
  // A window without range (or without movement) has no choppiness to speak of.
  if (range <= 0.0 || sum <= 0.0) return std::nullopt;
  return 100.0 * std::log10(sum / range) / _log_period;
}

CHOP::CHOP(Params& p, const IndicatorOptions& o) : CHOP{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(CHOP)

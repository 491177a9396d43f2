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
    : PeriodIndicator(checked_period(period), options),
      log_period_(std::log10(static_cast<double>(period))),
      true_range_(static_cast<std::size_t>(period)),
      high_(static_cast<std::size_t>(period)),
      low_(static_cast<std::size_t>(period)) {
  _keep_history(2);
  _manage(true_range_);
  _manage(high_);
  _manage(low_);
}

std::optional<double> CHOP::_calculate_new_value() {
  const auto& in = input_values();
  const OHLCV& bar = in.back();
  true_range_.push(true_range(bar, input_count() > 1 ? &in.back(1) : nullptr));
  high_.push(bar.high);
  low_.push(bar.low);
  if (!high_.full()) return std::nullopt;
  const double range = high_.value() - low_.value();
  const double sum = true_range_.sum();
  // A window without range (or without movement) has no choppiness to speak of.
  if (range <= 0.0 || sum <= 0.0) return std::nullopt;
  return 100.0 * std::log10(sum / range) / log_period_;
}

CHOP::CHOP(Params& p, const IndicatorOptions& o) : CHOP{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(CHOP)

#include "tolbu_sdk/ta/levels/zig_zag.hpp"

#include <cmath>

#include <fmt/format.h>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {
namespace {

double checked_sensitivity(double v) {
  if (!std::isfinite(v) || v <= 0.0) {
    throw ValueError(fmt::format("ZigZag: sensitivity must be above 0, not {}", v));
  }
  return v;
}

}  // namespace

ZigZag::ZigZag(double sensitivity, int min_trend_length, const IndicatorOptions& options)
    : PivotIndicator(options),
      sensitivity_(checked_sensitivity(sensitivity)),
      min_trend_length_(static_cast<std::size_t>(
          detail::positive("ZigZag", "min_trend_length", min_trend_length))) {}

ZigZag::Step ZigZag::_find_pivot() {
  const OHLCV& bar = input_values().back();
  const Pivot* newest = _newest();
  if (newest == nullptr) return start(PivotType::LOW);  // the search opens on the first bar
  const bool long_enough = input_count() - _newest_position() >= min_trend_length_;
  if (newest->type == PivotType::HIGH) {
    if (long_enough && bar.low <= newest->ohlcv.high * (1.0 - sensitivity_)) {
      return start(PivotType::LOW);
    }
    return bar.high >= newest->ohlcv.high ? move(PivotType::HIGH) : none();
  }
  if (long_enough && bar.high >= newest->ohlcv.low * (1.0 + sensitivity_)) {
    return start(PivotType::HIGH);
  }
  return bar.low <= newest->ohlcv.low ? move(PivotType::LOW) : none();
}

ZigZag::ZigZag(Params& p, const IndicatorOptions& o)
    : ZigZag{p.number("sensitivity"), p.integer("min_trend_length"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(ZigZag)

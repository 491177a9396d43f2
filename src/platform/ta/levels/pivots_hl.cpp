#include "tolbu_sdk/ta/levels/pivots_hl.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

PivotsHL::PivotsHL(int high_period, int low_period, const IndicatorOptions& options)
    : PivotIndicator(options),
      high_period_(detail::positive("PivotsHL", "high_period", high_period)),
      low_period_(detail::positive("PivotsHL", "low_period", low_period)),
      high_(static_cast<std::size_t>(high_period)),
      low_(static_cast<std::size_t>(low_period)) {
  _manage(high_);
  _manage(low_);
}

PivotsHL::Step PivotsHL::_find_pivot() {
  const OHLCV& bar = input_values().back();
  high_.push(bar.high);
  low_.push(bar.low);
  const Pivot* newest = _newest();
  if (newest == nullptr) return start(PivotType::LOW);  // the search opens on the first bar
  if (high_.age() == 0) {
    if (newest->type == PivotType::LOW) return start(PivotType::HIGH);
    return bar.high >= newest->ohlcv.high ? move(PivotType::HIGH) : none();
  }
  if (low_.age() == 0) {
    if (newest->type == PivotType::HIGH) return start(PivotType::LOW);
    return bar.low <= newest->ohlcv.low ? move(PivotType::LOW) : none();
  }
  return none();
}

PivotsHL::PivotsHL(Params& p, const IndicatorOptions& o)
    : PivotsHL{p.integer("high_period"), p.integer("low_period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(PivotsHL)

#include "tolbu_sdk/ta/averages/dema.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

DEMA::DEMA(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("DEMA", "period", period)),
      _ema(static_cast<std::size_t>(period)),
      _ema_ema(static_cast<std::size_t>(period)) {
  _manage(_ema);
  _manage(_ema_ema);
}

std::optional<double> DEMA::_calculate_new_value() {
  _ema.push(input_values().back());
  if (!_ema.ready()) {
    _ema_ema.push_absent();
    return std::nullopt;
  }
  _ema_ema.push(_ema.value());
  if (!_ema_ema.ready()) return std::nullopt;
  return 2 * _ema.value() - _ema_ema.value();
}

DEMA::DEMA(Params& p, const IndicatorOptions& o) : DEMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(DEMA)

#include "tolbu_sdk/ta/averages/dema.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

DEMA::DEMA(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("DEMA", "period", period)),
      _ema(period),
      _ema_ema(period) {
  _manage(_ema);
  _manage(_ema_ema);
}

std::optional<double> DEMA::_calculate_new_value() {
  _ema.add(input_values().back());
  const auto e1 = _ema.value();
  _ema_ema.add(e1);
  const auto e2 = _ema_ema.value();
  if (!e2) return std::nullopt;
  return 2 * *e1 - *e2;
}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(DEMA, [](Params& p, const IndicatorOptions& o) {
  return std::make_unique<DEMA>(p.integer("period"), o);
})

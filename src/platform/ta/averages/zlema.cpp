#include "tolbu_sdk/ta/averages/zlema.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

ZLEMA::ZLEMA(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("ZLEMA", "period", period)),
      _lag(static_cast<std::size_t>(period / 2)),
      _ema(static_cast<std::size_t>(period)) {
  _keep_history(_lag + 1);
  _manage(_ema);
}

std::optional<double> ZLEMA::_calculate_new_value() {
  const auto& in = input_values();
  if (input_count() <= _lag) {
    _ema.push_absent();
    return std::nullopt;
  }
  _ema.push(2 * in.back() - in.back(_lag));
  if (!_ema.ready()) return std::nullopt;
  return _ema.value();
}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(ZLEMA, [](Params& p, const IndicatorOptions& o) {
  return std::make_unique<ZLEMA>(p.integer("period"), o);
})

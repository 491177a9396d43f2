#include "tolbu_sdk/ta/averages/tema.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

TEMA::TEMA(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("TEMA", "period", period)),
      _e1(static_cast<std::size_t>(period)),
      _e2(static_cast<std::size_t>(period)),
      _e3(static_cast<std::size_t>(period)) {
  _manage(_e1);
  _manage(_e2);
  _manage(_e3);
}

std::optional<double> TEMA::_calculate_new_value() {
  _e1.push(input_values().back());
  _e1.ready() ? _e2.push(_e1.value()) : _e2.push_absent();
  _e2.ready() ? _e3.push(_e2.value()) : _e3.push_absent();
  if (!_e3.ready()) return std::nullopt;
  return 3 * _e1.value() - 3 * _e2.value() + _e3.value();
}

TEMA::TEMA(Params& p, const IndicatorOptions& o) : TEMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(TEMA)

#include "tolbu_sdk/ta/averages/tema.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

TEMA::TEMA(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("TEMA", "period", period)),
      _e1(period),
      _e2(period),
      _e3(period) {
  _manage(_e1);
  _manage(_e2);
  _manage(_e3);
}

std::optional<double> TEMA::_calculate_new_value() {
  _e1.add(input_values().back());
  const auto a = _e1.value();
  _e2.add(a);
  const auto b = _e2.value();
  _e3.add(b);
  const auto c = _e3.value();
  if (!c) return std::nullopt;
  return 3 * *a - 3 * *b + *c;
}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(TEMA, [](Params& p, const IndicatorOptions& o) {
  return std::make_unique<TEMA>(p.integer("period"), o);
})

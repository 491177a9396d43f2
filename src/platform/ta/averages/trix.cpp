#include "tolbu_sdk/ta/averages/trix.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

TRIX::TRIX(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("TRIX", "period", period)),
      _e1(period),
      _e2(period),
      _e3(period) {
  _manage(_e1);
  _manage(_e2);
  _manage(_e3);
}

std::optional<double> TRIX::_calculate_new_value() {
  _e1.add(input_values().back());
  _e2.add(_e1.value());
  _e3.add(_e2.value());
  const auto& e3 = _e3.output_values();
  if (e3.size() < 2 || !e3.back() || !e3.back(1)) return std::nullopt;
  return 10000.0 * (*e3.back() - *e3.back(1)) / *e3.back(1);
}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(TRIX, [](Params& p, const IndicatorOptions& o) {
  return std::make_unique<TRIX>(p.integer("period"), o);
})

#include "tolbu_sdk/ta/trend/aroon.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

Aroon::Aroon(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("Aroon", "period", period)),
      _high(static_cast<std::size_t>(period) + 1),
      _low(static_cast<std::size_t>(period) + 1) {
  _manage(_high);
  _manage(_low);
}

std::optional<AroonValue> Aroon::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  _high.push(bar.high);
  _low.push(bar.low);
  if (!_high.full()) return std::nullopt;
  const auto share = [this](std::size_t age) {
    return 100.0 * static_cast<double>(static_cast<std::size_t>(_period) - age) / _period;
  };
  return AroonValue{share(_high.age()), share(_low.age())};
}

Aroon::Aroon(Params& p, const IndicatorOptions& o) : Aroon{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(Aroon)

#include "tolbu_sdk/ta/volatility/bb.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

BB::BB(int period, double std_dev_mult, MAType ma_type, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("BB", "period", period)),
      _mult(std_dev_mult),
      _ma(make_ma(ma_type, period)),
      _moments(static_cast<std::size_t>(period)) {
  _manage(*_ma);
  _manage(_moments);
}

std::optional<BBValue> BB::_calculate_new_value() {
  const double x = input_values().back();
  _ma->add(x);
  _moments.push(x);
  const auto cb = _ma->value();
  if (!cb || !_moments.full()) return std::nullopt;
  const double width = _mult * _moments.stddev();
  return BBValue{*cb - width, *cb, *cb + width};
}

BB::BB(Params& p, const IndicatorOptions& o)
    : BB{p.integer("period"), p.number("std_dev_mult"), p.ma_type("ma_type", MAType::SMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(BB)

#include "tolbu_sdk/ta/volatility/bb.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

BB::BB(int period, double std_dev_mult, MAType ma_type, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("BB", "period", period), options),
      mult_(detail::finite("BB", "std_dev_mult", std_dev_mult)),
      ma_(make_ma(ma_type, period)),
      moments_(static_cast<std::size_t>(period)) {
  _manage(*ma_);
  _manage(moments_);
}

std::optional<BBValue> BB::_calculate_new_value() {
  const double x = input_values().back();
  ma_->add(x);
  moments_.push(x);
  const auto cb = ma_->value();
  if (!cb || !moments_.full()) return std::nullopt;
  const double width = mult_ * moments_.stddev();
  return BBValue{*cb - width, *cb, *cb + width};
}

BB::BB(Params& p, const IndicatorOptions& o)
    : BB{p.integer("period"), p.number("std_dev_mult"), p.ma_type("ma_type", MAType::SMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(BB)

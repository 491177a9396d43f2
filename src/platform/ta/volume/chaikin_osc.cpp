#include "tolbu_sdk/ta/volume/chaikin_osc.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

ChaikinOsc::ChaikinOsc(int fast_period, int slow_period, MAType ma_type,
                       const IndicatorOptions& options)
    : Indicator(options),
      _fast(make_ma(ma_type, detail::positive("ChaikinOsc", "fast_period", fast_period))),
      _slow(make_ma(ma_type, detail::positive("ChaikinOsc", "slow_period", slow_period))) {
  _manage(_accu_dist);
  _manage(*_fast);
  _manage(*_slow);
}

std::optional<double> ChaikinOsc::_calculate_new_value() {
  _accu_dist.add(input_values().back());
  const double line = *_accu_dist.value();
  _fast->add(line);
  _slow->add(line);
  const auto fast = _fast->value();
  const auto slow = _slow->value();
  if (!fast || !slow) return std::nullopt;
  return *fast - *slow;
}

ChaikinOsc::ChaikinOsc(Params& p, const IndicatorOptions& o)
    : ChaikinOsc{p.integer("fast_period"), p.integer("slow_period"),
                 p.ma_type("ma_type", MAType::EMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(ChaikinOsc)

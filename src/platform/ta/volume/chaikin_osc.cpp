#include "tolbu_sdk/ta/volume/chaikin_osc.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

ChaikinOsc::ChaikinOsc(int fast_period, int slow_period, MAType ma_type,
                       const IndicatorOptions& options)
    : Indicator(options),
      fast_(make_ma(ma_type, detail::positive("ChaikinOsc", "fast_period", fast_period))),
      slow_(make_ma(ma_type, detail::positive("ChaikinOsc", "slow_period", slow_period))) {
  _manage(accu_dist_);
  _manage(*fast_);
  _manage(*slow_);
}

std::optional<double> ChaikinOsc::_calculate_new_value() {
  accu_dist_.add(input_values().back());
  const double line = *accu_dist_.value();
  fast_->add(line);
  slow_->add(line);
  const auto fast = fast_->value();
  const auto slow = slow_->value();
  if (!fast || !slow) return std::nullopt;
  return *fast - *slow;
}

ChaikinOsc::ChaikinOsc(Params& p, const IndicatorOptions& o)
    : ChaikinOsc{p.integer("fast_period"), p.integer("slow_period"),
                 p.ma_type("ma_type", MAType::EMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(ChaikinOsc)

#include "tolbu_sdk/ta/momentum/tsi.hpp"

#include <cmath>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

TSI::TSI(int fast_period, int slow_period, MAType ma_type, const IndicatorOptions& options)
    : Indicator(options),
      fast_(ma_type, detail::positive("TSI", "fast_period", fast_period)),
      slow_(ma_type, detail::positive("TSI", "slow_period", slow_period)),
      abs_slow_(ma_type, slow_period),
      abs_fast_(ma_type, fast_period) {
  _keep_history(2);
  _manage(slow_);
  _manage(fast_);
  _manage(abs_slow_);
  _manage(abs_fast_);
}

std::optional<double> TSI::_calculate_new_value() {
  std::optional<double> change;
  std::optional<double> size;
  if (input_count() > 1) {
    const auto& in = input_values();
    change = in.back() - in.back(1);
    size = std::abs(*change);
  }
  const auto num = fast_.push(slow_.push(change));
  const auto den = abs_fast_.push(abs_slow_.push(size));
  if (!num || !den) return std::nullopt;
  if (*den == 0.0) return _previous_output();
  return 100.0 * *num / *den;
}

TSI::TSI(Params& p, const IndicatorOptions& o)
    : TSI{p.integer("fast_period"), p.integer("slow_period"), p.ma_type("ma_type", MAType::EMA),
          o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(TSI)

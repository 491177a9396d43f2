#include "tolbu_sdk/ta/momentum/tsi.hpp"

#include <cmath>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

TSI::TSI(int fast_period, int slow_period, MAType ma_type, const IndicatorOptions& options)
    : Indicator(options),
      _fast_period(detail::positive("TSI", "fast_period", fast_period)),
      _slow_period(detail::positive("TSI", "slow_period", slow_period)),
      _slow(ma_type, slow_period),
      _fast(ma_type, fast_period),
      _abs_slow(ma_type, slow_period),
      _abs_fast(ma_type, fast_period) {
  _keep_history(2);
  _manage(_slow);
  _manage(_fast);
  _manage(_abs_slow);
  _manage(_abs_fast);
}

std::optional<double> TSI::_calculate_new_value() {
  std::optional<double> change;
  std::optional<double> size;
  if (input_count() > 1) {
    const auto& in = input_values();
    change = in.back() - in.back(1);
    size = std::abs(*change);
  }
  const auto num = _fast.push(_slow.push(change));
  const auto den = _abs_fast.push(_abs_slow.push(size));
  if (!num || !den) return std::nullopt;
  if (*den == 0.0) return _previous_output();
  return 100.0 * *num / *den;
}

TSI::TSI(Params& p, const IndicatorOptions& o)
    : TSI{p.integer("fast_period"), p.integer("slow_period"), p.ma_type("ma_type", MAType::EMA),
          o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(TSI)

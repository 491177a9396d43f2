#include "tolbu_sdk/ta/volume/kvo.hpp"

#include <cmath>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

KVO::KVO(int fast_period, int slow_period, MAType ma_type, const IndicatorOptions& options)
    : Indicator(options),
      fast_(make_ma(ma_type, detail::positive("KVO", "fast_period", fast_period))),
      slow_(make_ma(ma_type, detail::positive("KVO", "slow_period", slow_period))) {
  _keep_history(2);
  _manage(force_);
  _manage(*fast_);
  _manage(*slow_);
}

std::optional<double> KVO::_calculate_new_value() {
  const auto& in = input_values();
  const OHLCV& bar = in.back();
  std::optional<double> volume_force;
  Force f;
  if (input_count() >= 2) {
    const OHLCV& previous = in.back(1);
    const Force& before = force_.back();
    const bool rising =
        bar.high + bar.low + bar.close > previous.high + previous.low + previous.close;
    f.trend = rising ? 1 : -1;
    f.dm = bar.high - bar.low;
    if (before.trend == 0) {
      f.cm = f.dm;
    } else {
      f.cm = (f.trend == before.trend ? before.cm : before.dm) + f.dm;
      // Flat bars in a row leave cm at 0: no force rather than a division by zero.
      volume_force =
          f.cm == 0.0 ? 0.0 : bar.volume * std::abs(2.0 * (f.dm / f.cm - 1.0)) * f.trend * 100.0;
    }
  }
  force_.push(f);
  fast_->add(volume_force);
  slow_->add(volume_force);
  const auto fast = fast_->value();
  const auto slow = slow_->value();
  if (!fast || !slow) return std::nullopt;
  return *fast - *slow;
}

KVO::KVO(Params& p, const IndicatorOptions& o)
    : KVO{p.integer("fast_period"), p.integer("slow_period"), p.ma_type("ma_type", MAType::EMA),
          o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(KVO)

#include "tolbu_sdk/ta/momentum/ao.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

AO::AO(int fast_period, int slow_period, MAType ma_type, const IndicatorOptions& options)
    : Indicator(options),
      fast_(ma_type, detail::positive("AO", "fast_period", fast_period)),
      slow_(ma_type, detail::positive("AO", "slow_period", slow_period)) {
  _manage(fast_);
  _manage(slow_);
}

std::optional<double> AO::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  const double median = (bar.high + bar.low) / 2.0;
  const auto fast = fast_.push(median);
  const auto slow = slow_.push(median);
  if (!fast || !slow) return std::nullopt;
  return *fast - *slow;
}

AO::AO(Params& p, const IndicatorOptions& o)
    : AO{p.integer("fast_period"), p.integer("slow_period"), p.ma_type("ma_type", MAType::SMA), o} {
}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(AO)

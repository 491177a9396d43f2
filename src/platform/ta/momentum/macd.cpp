#include "tolbu_sdk/ta/momentum/macd.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

MACD::MACD(int fast_period, int slow_period, int signal_period, MAType ma_type,
           const IndicatorOptions& options)
    : Indicator(options),
      _fast_period(detail::positive("MACD", "fast_period", fast_period)),
      _slow_period(detail::positive("MACD", "slow_period", slow_period)),
      _signal_period(detail::positive("MACD", "signal_period", signal_period)),
      _fast(ma_type, fast_period),
      _slow(ma_type, slow_period),
      _signal(ma_type, signal_period) {
  _manage(_fast);
  _manage(_slow);
  _manage(_signal);
}

std::optional<MACDValue> MACD::_calculate_new_value() {
  const double x = input_values().back();
  const auto fast = _fast.push(x);
  const auto slow = _slow.push(x);
  if (!fast || !slow) {
    _signal.push(std::nullopt);
    return std::nullopt;
  }
  const double macd = *fast - *slow;
  const auto signal = _signal.push(macd);
  std::optional<double> histogram;
  if (signal) histogram = macd - *signal;
  return MACDValue{macd, signal, histogram};
}

MACD::MACD(Params& p, const IndicatorOptions& o)
    : MACD{p.integer("fast_period"), p.integer("slow_period"), p.integer("signal_period"),
           p.ma_type("ma_type", MAType::EMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(MACD)

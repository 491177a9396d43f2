#include "tolbu_sdk/ta/momentum/macd.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

MACD::MACD(int fast_period, int slow_period, int signal_period, MAType ma_type,
           const IndicatorOptions& options)
    : Indicator(options),
      fast_period_(detail::positive("MACD", "fast_period", fast_period)),
      slow_period_(detail::positive("MACD", "slow_period", slow_period)),
      signal_period_(detail::positive("MACD", "signal_period", signal_period)),
      fast_(ma_type, fast_period),
      slow_(ma_type, slow_period),
      signal_(ma_type, signal_period) {
  _manage(fast_);
  _manage(slow_);
  _manage(signal_);
}

std::optional<MACDValue> MACD::_calculate_new_value() {
  const double x = input_values().back();
  const auto fast = fast_.push(x);
  const auto slow = slow_.push(x);
  if (!fast || !slow) {
    signal_.push(std::nullopt);
    return std::nullopt;
  }
  const double macd = *fast - *slow;
  const auto signal = signal_.push(macd);
  std::optional<double> histogram;
  if (signal) histogram = macd - *signal;
  return MACDValue{macd, signal, histogram};
}

MACD::MACD(Params& p, const IndicatorOptions& o)
    : MACD{p.integer("fast_period"), p.integer("slow_period"), p.integer("signal_period"),
           p.ma_type("ma_type", MAType::EMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(MACD)

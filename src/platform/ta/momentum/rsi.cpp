#include "tolbu_sdk/ta/momentum/rsi.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

RSI::RSI(int period, const IndicatorOptions& options)
    : Indicator(options), _period(detail::positive("RSI", "period", period)) {
  _keep_history(2);
  _manage(_averages);
}

std::optional<double> RSI::_calculate_new_value() {
  const std::size_t n = input_count();
  const auto p = static_cast<std::size_t>(_period);
  if (n == 1) {
    _averages.push({});
    return std::nullopt;
  }
  const auto& in = input_values();
  const double change = in.back() - in.back(1);
  const double gain = change > 0.0 ? change : 0.0;
  const double loss = change < 0.0 ? -change : 0.0;
  Averages a = _averages.back();
  if (n <= p) {
    a.gain += gain;
    a.loss += loss;
    _averages.push(a);
    return std::nullopt;
  }
  if (n == p + 1) {
    a.gain = (a.gain + gain) / _period;
    a.loss = (a.loss + loss) / _period;
  } else {
    a.gain = (a.gain * (_period - 1) + gain) / _period;
    a.loss = (a.loss * (_period - 1) + loss) / _period;
  }
  _averages.push(a);
  // No change scales both averages alike: the index stays, and stays exact even where a long
  // stillness decays the averages into subnormal numbers.
  if (change == 0.0 && n > p + 1) {
    if (auto previous = _previous_output()) return previous;
  }
  if (a.loss == 0.0) return a.gain == 0.0 ? _previous_output() : std::optional<double>(100.0);
  return 100.0 - 100.0 / (1.0 + a.gain / a.loss);
}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(RSI, [](Params& p, const IndicatorOptions& o) {
  return std::make_unique<RSI>(p.integer("period"), o);
})

#include "tolbu_sdk/ta/volatility/chande_kroll_stop.hpp"

#include <limits>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

ChandeKrollStop::ChandeKrollStop(int atr_period, double atr_mult, int period,
                                 const IndicatorOptions& options)
    : Indicator(options),
      _atr_period(
          static_cast<std::size_t>(detail::positive("ChandeKrollStop", "atr_period", atr_period))),
      _atr_mult(atr_mult),
      _period(static_cast<std::size_t>(detail::positive("ChandeKrollStop", "period", period))),
      _atr(atr_period),
      _range(_atr_period),
      _stops(_period) {
  _keep_history(2);  // the true range reads the previous bar
  _manage(_atr);
  _manage(_range);
  _manage(_stops);
}

std::optional<ChandeKrollStopValue> ChandeKrollStop::_calculate_new_value() {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const auto& in = input_values();
  const OHLCV& bar = in.back();
  const auto atr = _atr.push(true_range(bar, input_count() > 1 ? &in.back(1) : nullptr));
  _range.push(bar.high, bar.low);
  if (!atr) {
    _stops.push(-inf, inf);
    return std::nullopt;
  }
  _stops.push(_range.high() - _atr_mult * *atr, _range.low() + _atr_mult * *atr);
  if (input_count() < _atr_period + _period - 1) return std::nullopt;
  return ChandeKrollStopValue{_stops.high(), _stops.low()};
}

ChandeKrollStop::ChandeKrollStop(Params& p, const IndicatorOptions& o)
    : ChandeKrollStop{p.integer("atr_period"), p.number("atr_mult"), p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(ChandeKrollStop)

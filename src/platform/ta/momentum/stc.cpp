#include "tolbu_sdk/ta/momentum/stc.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {
namespace {
int period_of(std::string_view param, int v) { return detail::positive("STC", param, v); }
}  // namespace

STC::STC(int fast_macd_period, int slow_macd_period, int stoch_period, int stoch_smoothing_period,
         MAType stoch_ma_type, const IndicatorOptions& options)
    : Indicator(options),
      _stoch_period(static_cast<std::size_t>(period_of("stoch_period", stoch_period))),
      _fast(MAType::EMA, period_of("fast_macd_period", fast_macd_period)),
      _slow(MAType::EMA, period_of("slow_macd_period", slow_macd_period)),
      _first(_stoch_period, _stoch_period, 100.0),
      _first_smoothing(stoch_ma_type, period_of("stoch_smoothing_period", stoch_smoothing_period)),
      _second(_stoch_period, 1, 100.0),
      _second_smoothing(stoch_ma_type, stoch_smoothing_period) {
  _manage(_fast);
  _manage(_slow);
  _manage(_first);
  _manage(_first_smoothing);
  _manage(_second);
  _manage(_second_smoothing);
}

std::optional<double> STC::_calculate_new_value() {
  const double x = input_values().back();
  const bool fast = _fast.add(x);
  const bool slow = _slow.add(x);
  // Each stage takes the value of the one before, or an absent push when it has none.
  const bool first =
      fast && slow ? _first.add(_fast.current() - _slow.current()) : _first.add_absent();
  const bool smoothed =
      first ? _first_smoothing.add(_first.current()) : _first_smoothing.add_absent();
  const bool second = smoothed ? _second.add(_first_smoothing.current()) : _second.add_absent();
  // The first pass has a %K for each MACD value from the `stoch_period`-th on.
  const bool started = _first.count() >= 2 * _stoch_period - 1;
  if (started && second ? _second_smoothing.add(_second.current())
                        : _second_smoothing.add_absent()) {
    return _second_smoothing.current();
  }
  return std::nullopt;
}

STC::STC(Params& p, const IndicatorOptions& o)
    : STC{p.integer("fast_macd_period"),
          p.integer("slow_macd_period"),
          p.integer("stoch_period"),
          p.integer("stoch_smoothing_period"),
          p.ma_type("stoch_ma_type", MAType::SMA),
          o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(STC)

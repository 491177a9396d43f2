#include "tolbu_sdk/ta/volatility/chande_kroll_stop.hpp"

#include <limits>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

ChandeKrollStop::ChandeKrollStop(int atr_period, double atr_mult, int period,
                                 const IndicatorOptions& options)
    : Indicator(options),
      atr_period_(
          static_cast<std::size_t>(detail::positive("ChandeKrollStop", "atr_period", atr_period))),
      atr_mult_(detail::finite("ChandeKrollStop", "atr_mult", atr_mult)),
      period_(static_cast<std::size_t>(detail::positive("ChandeKrollStop", "period", period))),
      atr_(atr_period),
      range_(atr_period_),
      stops_(period_) {
  _keep_history(2);  // the true range reads the previous bar
  _manage(atr_);
  _manage(range_);
  _manage(stops_);
}

std::optional<ChandeKrollStopValue> ChandeKrollStop::_calculate_new_value() {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const auto& in = input_values();
  const OHLCV& bar = in.back();
  const auto atr = atr_.push(true_range(bar, input_count() > 1 ? &in.back(1) : nullptr));
  range_.push(bar.high, bar.low);
  if (!atr) {
    stops_.push(-inf, inf);
    return std::nullopt;
  }
  stops_.push(range_.high() - atr_mult_ * *atr, range_.low() + atr_mult_ * *atr);
  if (input_count() < atr_period_ + period_ - 1) return std::nullopt;
  return ChandeKrollStopValue{stops_.high(), stops_.low()};
}

ChandeKrollStop::ChandeKrollStop(Params& p, const IndicatorOptions& o)
    : ChandeKrollStop{p.integer("atr_period"), p.number("atr_mult"), p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(ChandeKrollStop)

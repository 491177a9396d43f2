#include "tolbu_sdk/ta/volatility/donchian_channels.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

DonchianChannels::DonchianChannels(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("DonchianChannels", "period", period)),
      _high(static_cast<std::size_t>(period)),
      _low(static_cast<std::size_t>(period)) {
  _manage(_high);
  _manage(_low);
}

std::optional<DonchianChannelsValue> DonchianChannels::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  _high.push(bar.high);
  _low.push(bar.low);
  if (!_high.full()) return std::nullopt;
  const double ub = _high.value();
  const double lb = _low.value();
  return DonchianChannelsValue{lb, (ub + lb) / 2.0, ub};
}

DonchianChannels::DonchianChannels(Params& p, const IndicatorOptions& o)
    : DonchianChannels{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(DonchianChannels)

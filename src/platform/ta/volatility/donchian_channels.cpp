#include "tolbu_sdk/ta/volatility/donchian_channels.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

DonchianChannels::DonchianChannels(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("DonchianChannels", "period", period), options),
      high_(static_cast<std::size_t>(period)),
      low_(static_cast<std::size_t>(period)) {
  _manage(high_);
  _manage(low_);
}

std::optional<DonchianChannelsValue> DonchianChannels::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  high_.push(bar.high);
  low_.push(bar.low);
  if (!high_.full()) return std::nullopt;
  const double ub = high_.value();
  const double lb = low_.value();
  return DonchianChannelsValue{lb, (ub + lb) / 2.0, ub};
}

DonchianChannels::DonchianChannels(Params& p, const IndicatorOptions& o)
    : DonchianChannels{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(DonchianChannels)

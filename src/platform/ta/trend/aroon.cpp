#include "tolbu_sdk/ta/trend/aroon.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

Aroon::Aroon(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("Aroon", "period", period), options),
      high_(static_cast<std::size_t>(period) + 1),
      low_(static_cast<std::size_t>(period) + 1) {
  _manage(high_);
  _manage(low_);
}

std::optional<AroonValue> Aroon::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  high_.push(bar.high);
  low_.push(bar.low);
  if (!high_.full()) return std::nullopt;
  const auto share = [this](std::size_t age) {
    return 100.0 * static_cast<double>(static_cast<std::size_t>(period_) - age) / period_;
  };
  return AroonValue{share(high_.age()), share(low_.age())};
}

Aroon::Aroon(Params& p, const IndicatorOptions& o) : Aroon{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(Aroon)

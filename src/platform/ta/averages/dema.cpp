#include "tolbu_sdk/ta/averages/dema.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

DEMA::DEMA(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("DEMA", "period", period), options),
      ema_(static_cast<std::size_t>(period)),
      ema_ema_(static_cast<std::size_t>(period)) {
  _manage(ema_);
  _manage(ema_ema_);
}

std::optional<double> DEMA::_calculate_new_value() {
  ema_.push(input_values().back());
  if (!ema_.ready()) {
    ema_ema_.push_absent();
    return std::nullopt;
  }
  ema_ema_.push(ema_.value());
  if (!ema_ema_.ready()) return std::nullopt;
  return 2 * ema_.value() - ema_ema_.value();
}

DEMA::DEMA(Params& p, const IndicatorOptions& o) : DEMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(DEMA)

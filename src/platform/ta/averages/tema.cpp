#include "tolbu_sdk/ta/averages/tema.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

TEMA::TEMA(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("TEMA", "period", period), options),
      ema_(static_cast<std::size_t>(period)) {
  _manage(ema_);
}

std::optional<double> TEMA::_calculate_new_value() {
  ema_.push(input_values().back());
  const auto& e3 = ema_.triple_smoothed();
  if (!e3.ready()) return std::nullopt;
  return 3 * ema_.single().value() - 3 * ema_.double_smoothed().value() + e3.value();
}

TEMA::TEMA(Params& p, const IndicatorOptions& o) : TEMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(TEMA)

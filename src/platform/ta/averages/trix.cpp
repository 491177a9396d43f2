#include "tolbu_sdk/ta/averages/trix.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

TRIX::TRIX(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("TRIX", "period", period), options),
      ema_(static_cast<std::size_t>(period)) {
  _manage(ema_);
}

std::optional<double> TRIX::_calculate_new_value() {
  ema_.push(input_values().back());
  const auto& e3 = ema_.triple_smoothed();
  if (!e3.ready() || !e3.was_ready()) return std::nullopt;
  return 10000.0 * (e3.value() - e3.previous()) / e3.previous();
}

TRIX::TRIX(Params& p, const IndicatorOptions& o) : TRIX{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(TRIX)

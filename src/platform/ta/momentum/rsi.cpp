#include "tolbu_sdk/ta/momentum/rsi.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

RSI::RSI(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("RSI", "period", period), options), strength_(period_) {
  _manage(strength_);
}

std::optional<double> RSI::_calculate_new_value() { return strength_.push(input_values().back()); }

RSI::RSI(Params& p, const IndicatorOptions& o) : RSI{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(RSI)

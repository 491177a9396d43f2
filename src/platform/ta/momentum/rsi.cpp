#include "tolbu_sdk/ta/momentum/rsi.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

RSI::RSI(int period, const IndicatorOptions& options)
    : Indicator(options), _period(detail::positive("RSI", "period", period)), _strength(_period) {
  _manage(_strength);
}

std::optional<double> RSI::_calculate_new_value() { return _strength.push(input_values().back()); }

RSI::RSI(Params& p, const IndicatorOptions& o) : RSI{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(RSI)

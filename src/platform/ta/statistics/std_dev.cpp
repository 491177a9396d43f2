#include "tolbu_sdk/ta/statistics/std_dev.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

StdDev::StdDev(int period, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("StdDev", "period", period)),
      _moments(static_cast<std::size_t>(period)) {
  _manage(_moments);
}

std::optional<double> StdDev::_calculate_new_value() {
  _moments.push(input_values().back());
  if (!_moments.full()) return std::nullopt;
  return _moments.stddev();
}

StdDev::StdDev(Params& p, const IndicatorOptions& o) : StdDev{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(StdDev)

#include "tolbu_sdk/ta/statistics/std_dev.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

StdDev::StdDev(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("StdDev", "period", period), options),
      moments_(static_cast<std::size_t>(period)) {
  _manage(moments_);
}

std::optional<double> StdDev::_calculate_new_value() {
  moments_.push(input_values().back());
  if (!moments_.full()) return std::nullopt;
  return moments_.stddev();
}

StdDev::StdDev(Params& p, const IndicatorOptions& o) : StdDev{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(StdDev)

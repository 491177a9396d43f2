#include "tolbu_sdk/ta/averages/mcginley_dynamic.hpp"

#include "../check.hpp"
#include "seeded_average.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

McGinleyDynamic::McGinleyDynamic(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("McGinleyDynamic", "period", period), options) {
  _keep_history(static_cast<std::size_t>(period));
}

std::optional<double> McGinleyDynamic::_calculate_new_value() {
  return detail::seeded_average(input_values(), input_count(), period_, [this](double x) {
    const double prev = *_previous_output();
    const double r = x / prev;
    return prev + (x - prev) / (period_ * r * r * r * r);
  });
}

McGinleyDynamic::McGinleyDynamic(Params& p, const IndicatorOptions& o)
    : McGinleyDynamic{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(McGinleyDynamic)

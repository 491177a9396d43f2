#include "tolbu_sdk/ta/averages/mcginley_dynamic.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

McGinleyDynamic::McGinleyDynamic(int period, const IndicatorOptions& options)
    : Indicator(options), _period(detail::positive("McGinleyDynamic", "period", period)) {
  _keep_history(static_cast<std::size_t>(period));
}

std::optional<double> McGinleyDynamic::_calculate_new_value() {
  const auto n = input_count();
  const auto p = static_cast<std::size_t>(_period);
  if (n < p) return std::nullopt;
  const auto& in = input_values();
  if (n == p) {
    double sum = 0.0;
    for (std::size_t k = p; k-- > 0;) sum += in.back(k);
    return sum / _period;
  }
  const double prev = *_previous_output();
  const double x = in.back();
  const double r = x / prev;
  return prev + (x - prev) / (_period * r * r * r * r);
}

McGinleyDynamic::McGinleyDynamic(Params& p, const IndicatorOptions& o)
    : McGinleyDynamic{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(McGinleyDynamic)

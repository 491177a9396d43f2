#include "tolbu_sdk/ta/volume/accu_dist.hpp"

#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

AccuDist::AccuDist(const IndicatorOptions& options) : Indicator(options) {}

std::optional<double> AccuDist::_calculate_new_value() {
  const double flow = money_flow_volume(input_values().back());
  const auto previous = _previous_output();
  return previous ? *previous + flow : flow;
}

AccuDist::AccuDist(Params&, const IndicatorOptions& o) : AccuDist(o) {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(AccuDist)

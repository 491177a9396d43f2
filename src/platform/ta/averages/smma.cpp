#include "tolbu_sdk/ta/averages/smma.hpp"

#include "../check.hpp"
#include "seeded_average.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

SMMA::SMMA(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("SMMA", "period", period), options) {
  _keep_history(static_cast<std::size_t>(period));
}

std::optional<double> SMMA::_calculate_new_value() {
  return detail::seeded_average(input_values(), input_count(), period_, [this](double x) {
    return (*_previous_output() * (period_ - 1) + x) / period_;
  });
}

SMMA::SMMA(Params& p, const IndicatorOptions& o) : SMMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(SMMA)

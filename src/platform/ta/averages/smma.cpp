#include "tolbu_sdk/ta/averages/smma.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

SMMA::SMMA(int period, const IndicatorOptions& options)
    : Indicator(options), _period(detail::positive("SMMA", "period", period)) {
  _keep_history(static_cast<std::size_t>(period));
}

std::optional<double> SMMA::_calculate_new_value() {
  const auto n = input_count();
  const auto p = static_cast<std::size_t>(_period);
  if (n < p) return std::nullopt;
  const auto& in = input_values();
  if (n == p) {
    double sum = 0.0;
    for (std::size_t k = p; k-- > 0;) sum += in.back(k);
    return sum / _period;
  }
  return (*_previous_output() * (_period - 1) + in.back()) / _period;
}

SMMA::SMMA(Params& p, const IndicatorOptions& o) : SMMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(SMMA)

#include "tolbu_sdk/ta/momentum/roc.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

ROC::ROC(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("ROC", "period", period), options) {
  _keep_history(static_cast<std::size_t>(period) + 1);
}

std::optional<double> ROC::_calculate_new_value() {
  const auto p = static_cast<std::size_t>(period_);
  if (input_count() <= p) return std::nullopt;
  const auto& in = input_values();
  const double then = in.back(p);
  if (then == 0.0) return std::nullopt;
  return (in.back() - then) / then * 100.0;
}

ROC::ROC(Params& p, const IndicatorOptions& o) : ROC{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(ROC)

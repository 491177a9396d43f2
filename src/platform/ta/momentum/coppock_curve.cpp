#include "tolbu_sdk/ta/momentum/coppock_curve.hpp"

#include <algorithm>

#include "../check.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

CoppockCurve::CoppockCurve(int fast_roc_period, int slow_roc_period, int wma_period,
                           const IndicatorOptions& options)
    : Indicator(options),
      fast_roc_period_(static_cast<std::size_t>(
          detail::positive("CoppockCurve", "fast_roc_period", fast_roc_period))),
      slow_roc_period_(static_cast<std::size_t>(
          detail::positive("CoppockCurve", "slow_roc_period", slow_roc_period))),
      wma_period_(detail::positive("CoppockCurve", "wma_period", wma_period)),
      wma_(make_ma(MAType::WMA, wma_period)) {
  _keep_history(std::max(fast_roc_period_, slow_roc_period_) + 1);
  _manage(*wma_);
}

std::optional<double> CoppockCurve::_calculate_new_value() {
  const auto& in = input_values();
  const std::size_t n = input_count();
  std::optional<double> sum;
  if (n > fast_roc_period_ && n > slow_roc_period_) {
    const double fast = in.back(fast_roc_period_);
    const double slow = in.back(slow_roc_period_);
    if (fast != 0.0 && slow != 0.0) {
      sum = (in.back() - fast) / fast * 100.0 + (in.back() - slow) / slow * 100.0;
    }
  }
  wma_->add(sum);
  return wma_->value();
}

CoppockCurve::CoppockCurve(Params& p, const IndicatorOptions& o)
    : CoppockCurve{p.integer("fast_roc_period"), p.integer("slow_roc_period"),
                   p.integer("wma_period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(CoppockCurve)

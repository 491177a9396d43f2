#include "tolbu_sdk/ta/momentum/coppock_curve.hpp"

#include <algorithm>

#include "../check.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

CoppockCurve::CoppockCurve(int fast_roc_period, int slow_roc_period, int wma_period,
                           const IndicatorOptions& options)
    : Indicator(options),
      _fast_roc_period(static_cast<std::size_t>(
          detail::positive("CoppockCurve", "fast_roc_period", fast_roc_period))),
      _slow_roc_period(static_cast<std::size_t>(
          detail::positive("CoppockCurve", "slow_roc_period", slow_roc_period))),
      _wma_period(detail::positive("CoppockCurve", "wma_period", wma_period)),
      _wma(make_ma(MAType::WMA, wma_period)) {
  _keep_history(std::max(_fast_roc_period, _slow_roc_period) + 1);
  _manage(*_wma);
}

std::optional<double> CoppockCurve::_calculate_new_value() {
  const auto& in = input_values();
  const std::size_t n = input_count();
  std::optional<double> sum;
  if (n > _fast_roc_period && n > _slow_roc_period) {
    const double fast = in.back(_fast_roc_period);
    const double slow = in.back(_slow_roc_period);
    if (fast != 0.0 && slow != 0.0) {
      sum = (in.back() - fast) / fast * 100.0 + (in.back() - slow) / slow * 100.0;
    }
  }
  _wma->add(sum);
  return _wma->value();
}

CoppockCurve::CoppockCurve(Params& p, const IndicatorOptions& o)
    : CoppockCurve{p.integer("fast_roc_period"), p.integer("slow_roc_period"),
                   p.integer("wma_period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(CoppockCurve)

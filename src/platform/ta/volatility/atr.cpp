#include "tolbu_sdk/ta/volatility/atr.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

ATR::ATR(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("ATR", "period", period), options) {
  // The seed reads the first `period` bars.
  _keep_history(static_cast<std::size_t>(period));
}

std::optional<double> ATR::_calculate_new_value() {
  const std::size_t n = input_count();
  const auto p = static_cast<std::size_t>(period_);
  if (n < p) return std::nullopt;
  const auto& in = input_values();
  if (n == p) {
    double sum = 0.0;
    for (std::size_t k = p; k-- > 0;)
      sum += true_range(in.back(k), k + 1 < p ? &in.back(k + 1) : nullptr);
    return sum / period_;
  }
  const auto previous = _previous_output();
  if (!previous) return std::nullopt;
  const double tr = true_range(in.back(), &in.back(1));
  return (*previous * (period_ - 1) + tr) / period_;
}

ATR::ATR(Params& p, const IndicatorOptions& o) : ATR{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(ATR)

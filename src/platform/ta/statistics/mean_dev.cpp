#include "tolbu_sdk/ta/statistics/mean_dev.hpp"

#include <cmath>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

MeanDev::MeanDev(int period, MAType ma_type, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("MeanDev", "period", period), options),
      ma_(make_ma(ma_type, period)) {
  _keep_history(static_cast<std::size_t>(period));
  _manage(*ma_);
}

std::optional<double> MeanDev::_calculate_new_value() {
  const auto& in = input_values();
  ma_->add(in.back());
  const auto mean = ma_->value();
  const auto p = static_cast<std::size_t>(period_);
  if (!mean || input_count() < p) return std::nullopt;
  double sum = 0.0;
  for (std::size_t k = 0; k < p; ++k) sum += std::fabs(in.back(k) - *mean);
  return sum / period_;
}

MeanDev::MeanDev(Params& p, const IndicatorOptions& o)
    : MeanDev{p.integer("period"), p.ma_type("ma_type", MAType::SMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(MeanDev)

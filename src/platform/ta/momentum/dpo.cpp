#include "tolbu_sdk/ta/momentum/dpo.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

DPO::DPO(int period, MAType ma_type, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("DPO", "period", period), options),
      lag_(static_cast<std::size_t>(period) / 2 + 1),
      ma_(ma_type, period) {
  _keep_history(lag_ + 1);
  _manage(ma_);
}

std::optional<double> DPO::_calculate_new_value() {
  const auto& in = input_values();
  const auto ma = ma_.push(in.back());
  if (!ma || input_count() <= lag_) return std::nullopt;
  return in.back(lag_) - *ma;
}

DPO::DPO(Params& p, const IndicatorOptions& o)
    : DPO{p.integer("period"), p.ma_type("ma_type", MAType::SMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(DPO)

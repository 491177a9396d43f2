#include "tolbu_sdk/ta/momentum/dpo.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

DPO::DPO(int period, MAType ma_type, const IndicatorOptions& options)
    : Indicator(options),
      _period(detail::positive("DPO", "period", period)),
      _lag(static_cast<std::size_t>(period) / 2 + 1),
      _ma(ma_type, period) {
  _keep_history(_lag + 1);
  _manage(_ma);
}

std::optional<double> DPO::_calculate_new_value() {
  const auto& in = input_values();
  const auto ma = _ma.push(in.back());
  if (!ma || input_count() <= _lag) return std::nullopt;
  return in.back(_lag) - *ma;
}

DPO::DPO(Params& p, const IndicatorOptions& o)
    : DPO{p.integer("period"), p.ma_type("ma_type", MAType::SMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(DPO)

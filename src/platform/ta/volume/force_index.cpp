#include "tolbu_sdk/ta/volume/force_index.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

ForceIndex::ForceIndex(int period, MAType ma_type, const IndicatorOptions& options)
    : Indicator(options), ma_(make_ma(ma_type, detail::positive("ForceIndex", "period", period))) {
  _keep_history(2);
  _manage(*ma_);
}

std::optional<double> ForceIndex::_calculate_new_value() {
  const auto& in = input_values();
  if (input_count() < 2) {
    ma_->add(std::optional<double>{});
    return std::nullopt;
  }
  const OHLCV& bar = in.back();
  ma_->add((bar.close - in.back(1).close) * bar.volume);
  return ma_->value();
}

ForceIndex::ForceIndex(Params& p, const IndicatorOptions& o)
    : ForceIndex{p.integer("period"), p.ma_type("ma_type", MAType::EMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(ForceIndex)

#include "tolbu_sdk/ta/volatility/sfx.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

SFX::SFX(int atr_period, int std_dev_period, int std_dev_smoothing_period, MAType ma_type,
         const IndicatorOptions& options)
    : Indicator(options),
      atr_(detail::positive("SFX", "atr_period", atr_period)),
      close_(static_cast<std::size_t>(detail::positive("SFX", "std_dev_period", std_dev_period))),
      ma_std_dev_(ma_type,
                  detail::positive("SFX", "std_dev_smoothing_period", std_dev_smoothing_period)) {
  _keep_history(2);  // the true range reads the previous bar
  _manage(atr_);
  _manage(close_);
  _manage(ma_std_dev_);
}

std::optional<SFXValue> SFX::_calculate_new_value() {
  const auto& in = input_values();
  const OHLCV& bar = in.back();
  const auto atr = atr_.push(true_range(bar, input_count() > 1 ? &in.back(1) : nullptr));
  close_.push(bar.close);
  std::optional<double> std_dev;
  if (close_.full()) std_dev = close_.stddev();
  return SFXValue{atr, std_dev, ma_std_dev_.push(std_dev)};
}

SFX::SFX(Params& p, const IndicatorOptions& o)
    : SFX{p.integer("atr_period"), p.integer("std_dev_period"),
          p.integer("std_dev_smoothing_period"), p.ma_type("ma_type", MAType::SMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(SFX)

#include "tolbu_sdk/ta/volatility/keltner_channels.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

KeltnerChannels::KeltnerChannels(int ma_period, int atr_period, double atr_mult_up,
                                 double atr_mult_down, MAType ma_type,
                                 const IndicatorOptions& options)
    : Indicator(options),
      mult_up_(detail::finite("KeltnerChannels", "atr_mult_up", atr_mult_up)),
      mult_down_(detail::finite("KeltnerChannels", "atr_mult_down", atr_mult_down)),
      ma_(make_ma(ma_type, detail::positive("KeltnerChannels", "ma_period", ma_period))),
      atr_(detail::positive("KeltnerChannels", "atr_period", atr_period)) {
  _manage(*ma_);
  _manage(atr_);
}

std::optional<KeltnerChannelsValue> KeltnerChannels::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  ma_->add(bar.close);
  atr_.add(bar);
  const auto cb = ma_->value();
  const auto atr = atr_.value();
  if (!cb || !atr) return std::nullopt;
  return KeltnerChannelsValue{*cb - mult_down_ * *atr, *cb, *cb + mult_up_ * *atr};
}

KeltnerChannels::KeltnerChannels(Params& p, const IndicatorOptions& o)
    : KeltnerChannels{
          p.integer("ma_period"),    p.integer("atr_period"),           p.number("atr_mult_up"),
          p.number("atr_mult_down"), p.ma_type("ma_type", MAType::EMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(KeltnerChannels)

#include "tolbu_sdk/ta/volatility/keltner_channels.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

KeltnerChannels::KeltnerChannels(int ma_period, int atr_period, double atr_mult_up,
                                 double atr_mult_down, MAType ma_type,
                                 const IndicatorOptions& options)
    : Indicator(options),
      _mult_up(atr_mult_up),
      _mult_down(atr_mult_down),
      _ma(make_ma(ma_type, detail::positive("KeltnerChannels", "ma_period", ma_period))),
      _atr(detail::positive("KeltnerChannels", "atr_period", atr_period)) {
  _manage(*_ma);
  _manage(_atr);
}

std::optional<KeltnerChannelsValue> KeltnerChannels::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  _ma->add(bar.close);
  _atr.add(bar);
  const auto cb = _ma->value();
  const auto atr = _atr.value();
  if (!cb || !atr) return std::nullopt;
  return KeltnerChannelsValue{*cb - _mult_down * *atr, *cb, *cb + _mult_up * *atr};
}

KeltnerChannels::KeltnerChannels(Params& p, const IndicatorOptions& o)
    : KeltnerChannels{
          p.integer("ma_period"),    p.integer("atr_period"),           p.number("atr_mult_up"),
          p.number("atr_mult_down"), p.ma_type("ma_type", MAType::EMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(KeltnerChannels)

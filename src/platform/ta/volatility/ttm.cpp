#include "tolbu_sdk/ta/volatility/ttm.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

TTM::TTM(int period, double bb_std_dev_mult, double kc_atr_mult, MAType ma_type,
         const IndicatorOptions& options)
    : Indicator(options),
      _bb_mult(bb_std_dev_mult),
      _ma(make_ma(ma_type, detail::positive("TTM", "period", period))),
      _close(static_cast<std::size_t>(period)),
      _kc(period, period, kc_atr_mult, kc_atr_mult),
      _high(static_cast<std::size_t>(period)),
      _low(static_cast<std::size_t>(period)),
      _momentum(static_cast<std::size_t>(period)),
      _present(static_cast<std::size_t>(period)) {
  _manage(*_ma);
  _manage(_close);
  _manage(_kc);
  _manage(_high);
  _manage(_low);
  _manage(_momentum);
  _manage(_present);
}

std::optional<TTMValue> TTM::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  _ma->add(bar.close);
  _close.push(bar.close);
  _kc.add(bar);
  _high.push(bar.high);
  _low.push(bar.low);

  const auto mean = _ma->value();
  if (!mean || !_high.full()) {
    _momentum.push(0.0);
    _present.push(0.0);
  } else {
    const double midpoint = (_high.value() + _low.value()) / 2.0;
    _momentum.push(bar.close - (midpoint + *mean) / 2.0);
    _present.push(1.0);
  }

  const auto kc = _kc.value();
  if (!mean || !_close.full() || !kc) return std::nullopt;
  const double deviation = _bb_mult * _close.stddev();
  TTMValue out;
  out.squeeze = *mean + deviation<*kc->ub&& * mean - deviation> * kc->lb;
  if (_present.sum() >= static_cast<double>(_present.period())) out.histogram = _momentum.value();
  return out;
}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(TTM, [](Params& p, const IndicatorOptions& o) {
  const int period = p.integer("period");
  const double bb_std_dev_mult = p.number("bb_std_dev_mult", 2.0);
  const double kc_atr_mult = p.number("kc_atr_mult", 1.5);
  const MAType ma_type = p.ma_type("ma_type", MAType::SMA);
  return std::make_unique<TTM>(period, bb_std_dev_mult, kc_atr_mult, ma_type, o);
})

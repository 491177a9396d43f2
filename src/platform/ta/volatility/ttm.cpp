#include "tolbu_sdk/ta/volatility/ttm.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

TTM::TTM(int period, double bb_std_dev_mult, double kc_atr_mult, MAType ma_type,
         const IndicatorOptions& options)
    : Indicator(options),
      _bb_mult(bb_std_dev_mult),
      _kc_mult(kc_atr_mult),
      _bb_average(ma_type, detail::positive("TTM", "period", period)),
      _bb_moments(static_cast<std::size_t>(period)),
      _kc_average(MAType::EMA, period),
      _atr(period),
      _range(static_cast<std::size_t>(period)),
      _momentum(static_cast<std::size_t>(period)),
      _present(static_cast<std::size_t>(period)) {
  _manage(_bb_average);
  _manage(_bb_moments);
  _manage(_kc_average);
  _keep_history(2);  // the true range reads the previous bar
  _manage(_atr);
  _manage(_range);
  _manage(_momentum);
  _manage(_present);
}

std::optional<TTMValue> TTM::_calculate_new_value() {
  const auto& in = input_values();
  const OHLCV& bar = in.back();
  // Flags and current() rather than optionals: see MomentumAverage::add.
  const bool has_bb_cb = _bb_average.add(bar.close);
  _bb_moments.push(bar.close);
  const bool has_kc_cb = _kc_average.add(bar.close);
  const auto atr = _atr.push(true_range(bar, input_count() > 1 ? &in.back(1) : nullptr));
  _range.push(bar.high, bar.low);

  const bool bb = has_bb_cb && _bb_moments.full();
  const double bb_cb = bb ? _bb_average.current() : 0.0;
  if (!bb || !_range.full()) {
    _momentum.push(0.0);
    _present.push(0.0);
  } else {
    const double midpoint = (_range.high() + _range.low()) / 2.0;
    _momentum.push(bar.close - (midpoint + bb_cb) / 2.0);
    _present.push(1.0);
  }

  if (!bb || !has_kc_cb || !atr) return std::nullopt;
  const double kc_cb = _kc_average.current();
  TTMValue out;
  // On while the Bollinger Bands lie inside the Keltner Channels.
  const double width = _bb_mult * _bb_moments.stddev();
  const bool inside_above = bb_cb + width < kc_cb + _kc_mult * *atr;
  const bool inside_below = bb_cb - width > kc_cb - _kc_mult * *atr;
  out.squeeze = inside_above && inside_below;
  if (_present.sum() >= static_cast<double>(_present.period())) out.histogram = _momentum.value();
  return out;
}

TTM::TTM(Params& p, const IndicatorOptions& o)
    : TTM{p.integer("period"), p.number("bb_std_dev_mult", 2.0), p.number("kc_atr_mult", 1.5),
          p.ma_type("ma_type", MAType::SMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(TTM)

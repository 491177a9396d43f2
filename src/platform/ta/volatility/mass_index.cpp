#include "tolbu_sdk/ta/volatility/mass_index.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

MassIndex::MassIndex(int ma_period, int ma_ma_period, int ma_ratio_period, MAType ma_type,
                     const IndicatorOptions& options)
    : Indicator(options),
      _ma(make_ma(ma_type, detail::positive("MassIndex", "ma_period", ma_period))),
      _ma_ma(make_ma(ma_type, detail::positive("MassIndex", "ma_ma_period", ma_ma_period))),
      _ratios(static_cast<std::size_t>(
          detail::positive("MassIndex", "ma_ratio_period", ma_ratio_period))),
      _present(static_cast<std::size_t>(ma_ratio_period)) {
  _manage(*_ma);
  _manage(*_ma_ma);
  _manage(_ratios);
  _manage(_present);
}

std::optional<double> MassIndex::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  _ma->add(bar.high - bar.low);
  _ma_ma->add(_ma->value());
  const auto single = _ma->value();
  const auto twice = _ma_ma->value();
  if (!single || !twice) {
    _ratios.push(0.0);
    _present.push(0.0);
    return std::nullopt;
  }
  // A market without range has both averages at zero: they agree, so the ratio is 1.
  _ratios.push(*twice == 0.0 ? 1.0 : *single / *twice);
  _present.push(1.0);
  if (_present.sum() < static_cast<double>(_present.period())) return std::nullopt;
  return _ratios.sum();
}

MassIndex::MassIndex(Params& p, const IndicatorOptions& o)
    : MassIndex{p.integer("ma_period"), p.integer("ma_ma_period"), p.integer("ma_ratio_period"),
                p.ma_type("ma_type", MAType::EMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(MassIndex)

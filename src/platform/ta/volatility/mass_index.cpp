#include "tolbu_sdk/ta/volatility/mass_index.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

MassIndex::MassIndex(int ma_period, int ma_ma_period, int ma_ratio_period, MAType ma_type,
                     const IndicatorOptions& options)
    : Indicator(options),
      ma_(make_ma(ma_type, detail::positive("MassIndex", "ma_period", ma_period))),
      ma_ma_(make_ma(ma_type, detail::positive("MassIndex", "ma_ma_period", ma_ma_period))),
      ratios_(static_cast<std::size_t>(
          detail::positive("MassIndex", "ma_ratio_period", ma_ratio_period))),
      present_(static_cast<std::size_t>(ma_ratio_period)) {
  _manage(*ma_);
  _manage(*ma_ma_);
  _manage(ratios_);
  _manage(present_);
}

std::optional<double> MassIndex::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  ma_->add(bar.high - bar.low);
  ma_ma_->add(ma_->value());
  const auto single = ma_->value();
  const auto twice = ma_ma_->value();
  if (!single || !twice) {
    ratios_.push(0.0);
    present_.push(0.0);
    return std::nullopt;
  }
  // A market without range has both averages at zero: they agree, so the ratio is 1.
  ratios_.push(*twice == 0.0 ? 1.0 : *single / *twice);
  present_.push(1.0);
  if (present_.sum() < static_cast<double>(present_.period())) return std::nullopt;
  return ratios_.sum();
}

MassIndex::MassIndex(Params& p, const IndicatorOptions& o)
    : MassIndex{p.integer("ma_period"), p.integer("ma_ma_period"), p.integer("ma_ratio_period"),
                p.ma_type("ma_type", MAType::EMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(MassIndex)

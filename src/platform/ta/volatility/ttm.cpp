#include "tolbu_sdk/ta/volatility/ttm.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

TTM::TTM(int period, double bb_std_dev_mult, double kc_atr_mult, MAType ma_type,
         const IndicatorOptions& options)
    : Indicator(options),
      bb_mult_(detail::finite("TTM", "bb_std_dev_mult", bb_std_dev_mult)),
      kc_mult_(detail::finite("TTM", "kc_atr_mult", kc_atr_mult)),
      bb_average_(ma_type, detail::positive("TTM", "period", period)),
      bb_moments_(static_cast<std::size_t>(period)),
      kc_average_(MAType::EMA, period),
      atr_(period),
      range_(static_cast<std::size_t>(period)),
      momentum_(static_cast<std::size_t>(period)),
      present_(static_cast<std::size_t>(period)) {
  _manage(bb_average_);
  _manage(bb_moments_);
  _manage(kc_average_);
  _keep_history(2);  // the true range reads the previous bar
  _manage(atr_);
  _manage(range_);
  _manage(momentum_);
  _manage(present_);
}

std::optional<TTMValue> TTM::_calculate_new_value() {
  const auto& in = input_values();
  const OHLCV& bar = in.back();
  // Flags and current() rather than optionals: see MomentumAverage::add.
  const bool has_bb_cb = bb_average_.add(bar.close);
  bb_moments_.push(bar.close);
  const bool has_kc_cb = kc_average_.add(bar.close);
  const auto atr = atr_.push(true_range(bar, input_count() > 1 ? &in.back(1) : nullptr));
  range_.push(bar.high, bar.low);

  const bool bb = has_bb_cb && bb_moments_.full();
  const double bb_cb = bb ? bb_average_.current() : 0.0;
  if (!bb || !range_.full()) {
    momentum_.push(0.0);
    present_.push(0.0);
  } else {
    const double midpoint = (range_.high() + range_.low()) / 2.0;
    momentum_.push(bar.close - (midpoint + bb_cb) / 2.0);
    present_.push(1.0);
  }

  if (!bb || !has_kc_cb || !atr) return std::nullopt;
  const double kc_cb = kc_average_.current();
  TTMValue out;
  // On while the Bollinger Bands lie inside the Keltner Channels.
  const double width = bb_mult_ * bb_moments_.stddev();
  const bool inside_above = bb_cb + width < kc_cb + kc_mult_ * *atr;
  const bool inside_below = bb_cb - width > kc_cb - kc_mult_ * *atr;
  out.squeeze = inside_above && inside_below;
  if (present_.sum() >= static_cast<double>(present_.period())) out.histogram = momentum_.value();
  return out;
}

TTM::TTM(Params& p, const IndicatorOptions& o)
    : TTM{p.integer("period"), p.number("bb_std_dev_mult", 2.0), p.number("kc_atr_mult", 1.5),
          p.ma_type("ma_type", MAType::SMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(TTM)

#include "tolbu_sdk/ta/volume/emv.hpp"

#include <string>

#include "../check.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {
namespace {

double checked_divisor(double volume_div) {
  if (!(volume_div > 0.0)) {
    throw ValueError("EMV: volume_div must be greater than 0, not " + std::to_string(volume_div));
  }
  return volume_div;
}

}  // namespace

EMV::EMV(int period, double volume_div, MAType ma_type, const IndicatorOptions& options)
    : Indicator(options),
      volume_div_(checked_divisor(volume_div)),
      ma_(make_ma(ma_type, detail::positive("EMV", "period", period))) {
  _keep_history(2);
  _manage(*ma_);
}

std::optional<double> EMV::_calculate_new_value() {
  const auto& in = input_values();
  if (input_count() < 2) {
    ma_->add(std::optional<double>{});
    return std::nullopt;
  }
  const OHLCV& bar = in.back();
  const OHLCV& previous = in.back(1);
  const double range = bar.high - bar.low;
  double ease = 0.0;
  if (range != 0.0 && bar.volume != 0.0) {
    const double move = (bar.high + bar.low) / 2.0 - (previous.high + previous.low) / 2.0;
    ease = move * range * volume_div_ / bar.volume;
  }
  ma_->add(ease);
  return ma_->value();
}

EMV::EMV(Params& p, const IndicatorOptions& o)
    : EMV{p.integer("period"), p.number("volume_div"), p.ma_type("ma_type", MAType::SMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(EMV)

#include "tolbu_sdk/ta/volume/vwap.hpp"

#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

VWAP::VWAP(const IndicatorOptions& options) : Indicator(options) { _manage(totals_); }

std::optional<double> VWAP::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  Totals t = totals_.empty() ? Totals{} : totals_.back();
  const double typical = (bar.high + bar.low + bar.close) / 3.0;
  t.price_volume += typical * bar.volume;
  t.volume += bar.volume;
  totals_.push(t);
  if (t.volume == 0.0) return std::nullopt;
  return t.price_volume / t.volume;
}

VWAP::VWAP(Params&, const IndicatorOptions& o) : VWAP(o) {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(VWAP)

#include "tolbu_sdk/ta/trend/ichimoku.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {
namespace {
std::size_t ichimoku_period(std::string_view param, int v) {
  return static_cast<std::size_t>(detail::positive("Ichimoku", param, v));
}
}  // namespace

Ichimoku::Ichimoku(int kijun_period, int tenkan_period, int chikou_lag_period,
                   int senkou_slow_period, int senkou_lookup_period,
                   const IndicatorOptions& options)
    : Indicator(options),
      chikou_lag_(ichimoku_period("chikou_lag_period", chikou_lag_period)),
      lookup_(ichimoku_period("senkou_lookup_period", senkou_lookup_period)),
      ranges_({ichimoku_period("kijun_period", kijun_period),
               ichimoku_period("tenkan_period", tenkan_period),
               ichimoku_period("senkou_slow_period", senkou_slow_period)}),
      midpoints_(lookup_ + 2) {
  _keep_history(lookup_ + 2);
  _manage(ranges_);
  _manage(midpoints_);
}

std::optional<IchimokuValue> Ichimoku::_calculate_new_value() {
  const OHLCV& bar = input_values().back();
  const std::size_t n = input_count();
  ranges_.push(bar.high, bar.low);

  IchimokuValue v;
  v.base_line = midpoint(KIJUN);
  v.conversion_line = midpoint(TENKAN);
  if (n >= chikou_lag_) v.lagging_line = bar.close;

  Midpoints now{std::nullopt, midpoint(SENKOU)};
  if (v.base_line && v.conversion_line) now.fast = (*v.base_line + *v.conversion_line) / 2.0;
  midpoints_.push(now);
  if (midpoints_.size() > lookup_) v.cloud_leading_fast_line = midpoints_.back(lookup_).fast;
  if (midpoints_.size() > lookup_ + 1) {
    v.cloud_leading_slow_line = midpoints_.back(lookup_ + 1).slow;
  }
  return v;
}

Ichimoku::Ichimoku(Params& p, const IndicatorOptions& o)
    : Ichimoku{p.integer("kijun_period"),         p.integer("tenkan_period"),
               p.integer("chikou_lag_period"),    p.integer("senkou_slow_period"),
               p.integer("senkou_lookup_period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(Ichimoku)

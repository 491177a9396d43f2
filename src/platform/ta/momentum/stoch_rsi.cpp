#include "tolbu_sdk/ta/momentum/stoch_rsi.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {
namespace {
std::size_t stoch_rsi_period(std::string_view param, int v) {
  return static_cast<std::size_t>(detail::positive("StochRSI", param, v));
}
}  // namespace

StochRSI::StochRSI(int rsi_period, int stoch_period, int k_smoothing_period, int d_smoothing_period,
                   MAType ma_type, const IndicatorOptions& options)
    : Indicator(options),
      rsi_(static_cast<int>(stoch_rsi_period("rsi_period", rsi_period))),
      stoch_(stoch_rsi_period("stoch_period", stoch_period), static_cast<std::size_t>(stoch_period),
             std::nullopt),
      k_(ma_type, static_cast<int>(stoch_rsi_period("k_smoothing_period", k_smoothing_period))),
      d_(ma_type, static_cast<int>(stoch_rsi_period("d_smoothing_period", d_smoothing_period))) {
  _manage(rsi_);
  _manage(stoch_);
  _manage(k_);
  _manage(d_);
}

std::optional<StochRSIValue> StochRSI::_calculate_new_value() {
  // Each stage takes the value of the one before, or an absent push when it has none.
  const bool raw =
      rsi_.add(input_values().back()) ? stoch_.add(rsi_.current()) : stoch_.add_absent();
  const bool k = raw ? k_.add(stoch_.current()) : k_.add_absent();
  const bool d = k ? d_.add(k_.current()) : d_.add_absent();
  if (!raw) return std::nullopt;
  StochRSIValue v;
  if (k) v.k = k_.current();
  if (d) v.d = d_.current();
  return v;
}

StochRSI::StochRSI(Params& p, const IndicatorOptions& o)
    : StochRSI{p.integer("rsi_period"),           p.integer("stoch_period"),
               p.integer("k_smoothing_period"),   p.integer("d_smoothing_period"),
               p.ma_type("ma_type", MAType::SMA), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(StochRSI)

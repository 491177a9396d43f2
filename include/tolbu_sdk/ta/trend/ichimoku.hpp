#pragma once
// Ichimoku Kinko Hyo (Hosoda). Lines are midpoints (highest high + lowest low) / 2 of a window:
// - base_line (kijun-sen): of the newest `kijun_period` bars;
// - conversion_line (tenkan-sen): of the newest `tenkan_period` bars;
// - lagging_line (chikou span): the close, once `chikou_lag_period` bars are in; it belongs
//   `chikou_lag_period` bars back;
// - cloud_leading_fast_line (senkou span A): the mean of the base and conversion lines of
//   `senkou_lookup_period` bars ago;
// - cloud_leading_slow_line (senkou span B): the midpoint of the `senkou_slow_period` bars
//   that ended `senkou_lookup_period` + 1 bars ago.
// Every bar has a record; a line is absent until its windows are filled.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_range.hpp"
#include "tolbu_sdk/ta/support/state_history.hpp"

namespace tolbu_sdk::ta {

// One output of Ichimoku: the five lines; each is absent until its windows are filled.
struct TOLBU_API IchimokuValue {
  // Kijun-sen: midpoint of the newest `kijun_period` bars.
  std::optional<double> base_line;
  // Tenkan-sen: midpoint of the newest `tenkan_period` bars.
  std::optional<double> conversion_line;
  // Chikou span: the close, belonging `chikou_lag_period` bars back.
  std::optional<double> lagging_line;
  // Senkou span A: mean of the base and conversion lines `senkou_lookup_period` bars ago.
  std::optional<double> cloud_leading_fast_line;
  // Senkou span B: midpoint of `senkou_slow_period` bars ending `senkou_lookup_period` + 1 ago.
  std::optional<double> cloud_leading_slow_line;

  // Field by field; absent equals absent.
  bool operator==(const IchimokuValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const {
    return {{"base_line", base_line},
            {"conversion_line", conversion_line},
            {"lagging_line", lagging_line},
            {"cloud_leading_fast_line", cloud_leading_fast_line},
            {"cloud_leading_slow_line", cloud_leading_slow_line}};
  }
};

// Ichimoku Kinko Hyo: base, conversion and lagging lines and the two lines of the cloud.
class TOLBU_API Ichimoku : public Indicator<OHLCV, IchimokuValue> {
 public:
  // Window lengths in bars, as in IchimokuValue; ValueError for any below 1.
  Ichimoku(int kijun_period, int tenkan_period, int chikou_lag_period, int senkou_slow_period,
           int senkou_lookup_period, const IndicatorOptions& options = {});
  Ichimoku(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<IchimokuValue> _calculate_new_value() override;

 private:
  // Windows of ranges_, in this order.
  enum Window : std::size_t { KIJUN, TENKAN, SENKOU };
  std::optional<double> midpoint(Window w) const {
    if (!ranges_.full(w)) return std::nullopt;
    return (ranges_.high(w) + ranges_.low(w)) / 2.0;
  }

  // What the cloud lines read `senkou_lookup_period` (+ 1) bars later.
  struct Midpoints {
    std::optional<double> fast;  // mean of the base and conversion lines
    std::optional<double> slow;  // midpoint of the senkou window
  };

  std::size_t chikou_lag_;
  std::size_t lookup_;
  support::RollingRange ranges_;  // one queue per side for the three windows
  support::StateHistory<Midpoints> midpoints_;
};

}  // namespace tolbu_sdk::ta

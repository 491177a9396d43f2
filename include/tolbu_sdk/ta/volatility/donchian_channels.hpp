#pragma once
// Donchian Channels: the highest high and lowest low of the newest `period` bars, and their
// midpoint.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_extremum.hpp"

namespace tolbu_sdk::ta {

// One output of DonchianChannels; absent fields are still warming up.
struct TOLBU_API DonchianChannelsValue {
  // Lower band: the lowest low of the window.
  std::optional<double> lb;
  // Centre: the midpoint of the bands.
  std::optional<double> cb;
  // Upper band: the highest high of the window.
  std::optional<double> ub;

  // Field by field; absent equals absent.
  bool operator==(const DonchianChannelsValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"lb", lb}, {"cb", cb}, {"ub", ub}}; }
};

// Donchian Channels: the highest high and lowest low of the newest `period` bars.
class TOLBU_API DonchianChannels : public PeriodIndicator<OHLCV, DonchianChannelsValue> {
 public:
  // ValueError for a period below 1.
  explicit DonchianChannels(int period, const IndicatorOptions& options = {});
  DonchianChannels(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<DonchianChannelsValue> _calculate_new_value() override;

 private:
  support::RollingMax high_;
  support::RollingMin low_;
};

}  // namespace tolbu_sdk::ta

#pragma once
// Donchian Channels: the highest high and lowest low of the newest `period` bars, and their
// midpoint.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_extremum.hpp"

namespace tolbu_sdk::ta {

struct TOLBU_API DonchianChannelsValue {
  std::optional<double> lb;
  std::optional<double> cb;
  std::optional<double> ub;

  bool operator==(const DonchianChannelsValue&) const = default;
  Record fields() const { return {{"lb", lb}, {"cb", cb}, {"ub", ub}}; }
};

class TOLBU_API DonchianChannels : public PeriodIndicator<OHLCV, DonchianChannelsValue> {
 public:
  explicit DonchianChannels(int period, const IndicatorOptions& options = {});
  DonchianChannels(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<DonchianChannelsValue> _calculate_new_value() override;

 private:
  support::RollingMax high_;
  support::RollingMin low_;
};

}  // namespace tolbu_sdk::ta

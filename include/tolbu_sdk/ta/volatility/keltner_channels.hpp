#pragma once
// Keltner Channels: a moving average of the close (EMA by default) with bands at multiples of
// the Average True Range above and below it.

#include <memory>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/volatility/atr.hpp"

namespace tolbu_sdk::ta {

struct TOLBU_API KeltnerChannelsValue {
  std::optional<double> lb;
  std::optional<double> cb;
  std::optional<double> ub;

  bool operator==(const KeltnerChannelsValue&) const = default;
  Record fields() const { return {{"lb", lb}, {"cb", cb}, {"ub", ub}}; }
};

class TOLBU_API KeltnerChannels : public Indicator<OHLCV, KeltnerChannelsValue> {
 public:
  KeltnerChannels(int ma_period, int atr_period, double atr_mult_up, double atr_mult_down,
                  MAType ma_type = MAType::EMA, const IndicatorOptions& options = {});
  KeltnerChannels(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<KeltnerChannelsValue> _calculate_new_value() override;

 private:
  double mult_up_;
  double mult_down_;
  std::unique_ptr<Indicator<double, double>> ma_;
  ATR atr_;
};

}  // namespace tolbu_sdk::ta

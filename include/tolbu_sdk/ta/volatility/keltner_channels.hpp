#pragma once
// Keltner Channels: a moving average of the close (EMA by default) with bands at multiples of
// the Average True Range above and below it.

#include <memory>

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/volatility/atr.hpp"

namespace tolbu_sdk::ta {

// One output of KeltnerChannels; absent fields are still warming up.
struct TOLBU_API KeltnerChannelsValue {
  // Lower band: `cb` less `atr_mult_down` ATRs.
  std::optional<double> lb;
  // Centre: the moving average of the close.
  std::optional<double> cb;
  // Upper band: `cb` plus `atr_mult_up` ATRs.
  std::optional<double> ub;

  // Field by field; absent equals absent.
  bool operator==(const KeltnerChannelsValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"lb", lb}, {"cb", cb}, {"ub", ub}}; }
};

// Keltner Channels: a moving average of the close with bands multiples of the ATR away.
class TOLBU_API KeltnerChannels : public Indicator<OHLCV, KeltnerChannelsValue> {
 public:
  // Average of kind `ma_type` over `ma_period` bars, ATR over `atr_period`, bands
  // `atr_mult_up` ATRs above and `atr_mult_down` below; ValueError for a period below 1.
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

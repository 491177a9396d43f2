#pragma once
// Average Directional Index (Wilder). The directional movements +DM and -DM are smoothed over
// `di_period` bars the way Wilder smooths (seeded with their mean, then factor 1 / period) and
// divided by the ATR of the same period to give +DI and -DI; DX = 100 |+DI - -DI| / (+DI +
// -DI) smoothed alike over `adx_period` values is the ADX.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/state_history.hpp"
#include "tolbu_sdk/ta/volatility/atr.hpp"

namespace tolbu_sdk::ta {

struct TOLBU_API ADXValue {
  std::optional<double> adx;
  std::optional<double> plus_di;
  std::optional<double> minus_di;

  bool operator==(const ADXValue&) const = default;
  Record fields() const { return {{"adx", adx}, {"plus_di", plus_di}, {"minus_di", minus_di}}; }
};

class TOLBU_API ADX : public Indicator<OHLCV, ADXValue> {
 public:
  ADX(int di_period, int adx_period, const IndicatorOptions& options = {});
  ADX(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<ADXValue> _calculate_new_value() override;

 private:
  struct Smoothed {
    double plus = 0.0;   // smoothed +DM
    double minus = 0.0;  // smoothed -DM
  };

  std::size_t di_period_;
  std::size_t adx_period_;
  ATR atr_;
  support::StateHistory<Smoothed> movement_;
};

}  // namespace tolbu_sdk::ta

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

// One output of ADX; absent fields are still warming up.
struct TOLBU_API ADXValue {
  // Average Directional Index: the strength of the trend, 0 to 100, whatever its direction.
  std::optional<double> adx;
  // +DI: the smoothed upward movement as a share of the ATR, in per cent.
  std::optional<double> plus_di;
  // -DI: the smoothed downward movement as a share of the ATR, in per cent.
  std::optional<double> minus_di;

  // Field by field; absent equals absent.
  bool operator==(const ADXValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"adx", adx}, {"plus_di", plus_di}, {"minus_di", minus_di}}; }
};

// Average Directional Index with its +DI and -DI (Wilder's smoothing).
class TOLBU_API ADX : public Indicator<OHLCV, ADXValue> {
 public:
  // +DI and -DI over `di_period` bars, the ADX over `adx_period` DX values; ValueError for a
  // period below 1.
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

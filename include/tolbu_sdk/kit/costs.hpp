#pragma once
// What a fill costs in fees: a per cent of the traded value and a fixed amount per contract,
// rounded to the currency's smallest unit as the back end charges them. One model for the
// back end (tolbu-sim charges by it) and the strategy's accounting, so that both agree to
// the cent.

#include <cmath>
#include <cstdint>

#include "tolbu_sdk/utils/defaults.hpp"

namespace tolbu_sdk::kit {

// The fee model of a fill: a per cent of the traded value plus a fixed fee per contract.
struct CostModel {
  // Commission in per cent of the traded value.
  double commission_pct = utils::DEFAULT_COMMISSION_PCT;
  // Fixed fee per contract traded.
  double fee_per_contract = 0.0;
  // Decimals the fee is rounded to (the currency's smallest unit).
  int fee_decimals = 2;

  // The fee of qty at price.
  double fee(double price, std::int64_t qty) const {
    const double q = static_cast<double>(qty);
    const double raw = std::abs(price * q) * commission_pct / 100.0 + fee_per_contract * q;
    const double scale = std::pow(10.0, fee_decimals);
    return std::round(raw * scale) / scale;
  }
};

}  // namespace tolbu_sdk::kit

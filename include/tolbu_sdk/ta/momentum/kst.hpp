#pragma once
// Know Sure Thing (Pring): four rates of change, each smoothed by its own moving average and
// weighted 1, 2, 3 and 4, summed; with a signal line, a moving average of that sum.

#include <array>
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"

namespace tolbu_sdk::ta {

// One output of KST; absent fields are still warming up.
struct TOLBU_API KSTValue {
  // The weighted sum of the four smoothed rates of change.
  std::optional<double> kst;
  // A moving average of `kst` over the signal period.
  std::optional<double> signal;

  // Field by field; absent equals absent.
  bool operator==(const KSTValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"kst", kst}, {"signal", signal}}; }
};

// Know Sure Thing: four smoothed rates of change weighted 1 to 4, and a signal line.
class TOLBU_API KST : public Indicator<double, KSTValue> {
 public:
  // Rate of change `rocN_period` smoothed over `rocN_ma_period` for N = 1 to 4, the signal over
  // `signal_period`, all averages of kind `ma_type`; ValueError for a period below 1.
  KST(int roc1_period, int roc1_ma_period, int roc2_period, int roc2_ma_period, int roc3_period,
      int roc3_ma_period, int roc4_period, int roc4_ma_period, int signal_period,
      MAType ma_type = MAType::SMA, const IndicatorOptions& options = {});
  KST(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<KSTValue> _calculate_new_value() override;

 private:
  std::array<std::size_t, 4> roc_periods_;
  std::array<support::MomentumAverage, 4> roc_mas_;
  support::MomentumAverage signal_;
};

}  // namespace tolbu_sdk::ta

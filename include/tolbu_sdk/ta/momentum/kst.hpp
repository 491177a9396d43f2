#pragma once
// Know Sure Thing (Pring): four rates of change, each smoothed by its own moving average and
// weighted 1, 2, 3 and 4, summed; with a signal line, a moving average of that sum.

#include <array>
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"

namespace tolbu_sdk::ta {

struct TOLBU_API KSTValue {
  std::optional<double> kst;
  std::optional<double> signal;

  bool operator==(const KSTValue&) const = default;
  Record fields() const { return {{"kst", kst}, {"signal", signal}}; }
};

class TOLBU_API KST : public Indicator<double, KSTValue> {
 public:
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

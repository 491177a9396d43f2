#include "tolbu_sdk/ta/momentum/kst.hpp"

#include <algorithm>

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

KST::KST(int roc1_period, int roc1_ma_period, int roc2_period, int roc2_ma_period, int roc3_period,
         int roc3_ma_period, int roc4_period, int roc4_ma_period, int signal_period, MAType ma_type,
         const IndicatorOptions& options)
    : Indicator(options),
      roc_periods_{static_cast<std::size_t>(detail::positive("KST", "roc1_period", roc1_period)),
                   static_cast<std::size_t>(detail::positive("KST", "roc2_period", roc2_period)),
                   static_cast<std::size_t>(detail::positive("KST", "roc3_period", roc3_period)),
                   static_cast<std::size_t>(detail::positive("KST", "roc4_period", roc4_period))},
      roc_mas_{support::MomentumAverage(ma_type,
                                        detail::positive("KST", "roc1_ma_period", roc1_ma_period)),
               support::MomentumAverage(ma_type,
                                        detail::positive("KST", "roc2_ma_period", roc2_ma_period)),
               support::MomentumAverage(ma_type,
                                        detail::positive("KST", "roc3_ma_period", roc3_ma_period)),
               support::MomentumAverage(ma_type,
                                        detail::positive("KST", "roc4_ma_period", roc4_ma_period))},
      signal_(ma_type, detail::positive("KST", "signal_period", signal_period)) {
  _keep_history(*std::max_element(roc_periods_.begin(), roc_periods_.end()) + 1);
  for (auto& ma : roc_mas_) _manage(ma);
  _manage(signal_);
}

std::optional<KSTValue> KST::_calculate_new_value() {
  const auto& in = input_values();
  const std::size_t n = input_count();
  double kst = 0.0;
  bool complete = true;
  for (std::size_t i = 0; i < 4; ++i) {
    bool smoothed = false;
    const double then = n > roc_periods_[i] ? in.back(roc_periods_[i]) : 0.0;
    if (then != 0.0) {
      smoothed = roc_mas_[i].add((in.back() - then) / then * 100.0);
    } else {
      roc_mas_[i].add_absent();  // no rate of change yet, or none from 0
    }
    if (smoothed) {
      kst += static_cast<double>(i + 1) * roc_mas_[i].current();
    } else {
      complete = false;
    }
  }
  if (!complete) {
    signal_.add_absent();
    return std::nullopt;
  }
  KSTValue v{kst, std::nullopt};
  if (signal_.add(kst)) v.signal = signal_.current();
  return v;
}

KST::KST(Params& p, const IndicatorOptions& o)
    : KST{p.integer("roc1_period"),
          p.integer("roc1_ma_period"),
          p.integer("roc2_period"),
          p.integer("roc2_ma_period"),
          p.integer("roc3_period"),
          p.integer("roc3_ma_period"),
          p.integer("roc4_period"),
          p.integer("roc4_ma_period"),
          p.integer("signal_period"),
          p.ma_type("ma_type", MAType::SMA),
          o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(KST)

#pragma once
// Vortex Indicator (Botes, Siepman): the upward (|high - previous low|) and downward
// (|low - previous high|) vortex movements summed over `period` bars, each over the summed true
// range. Needs one bar before the window; a window without range repeats the previous value.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"
#include "tolbu_sdk/ta/support/state_history.hpp"

namespace tolbu_sdk::ta {

struct TOLBU_API VTXValue {
  std::optional<double> plus_vtx;
  std::optional<double> minus_vtx;

  bool operator==(const VTXValue&) const = default;
  Record fields() const { return {{"plus_vtx", plus_vtx}, {"minus_vtx", minus_vtx}}; }
};

class TOLBU_API VTX : public PeriodIndicator<OHLCV, VTXValue> {
 public:
  explicit VTX(int period, const IndicatorOptions& options = {});
  VTX(Params& params, const IndicatorOptions& options);  // by name, registry.hpp

 protected:
  std::optional<VTXValue> _calculate_new_value() override;

 private:
  support::RollingSum plus_;
  support::RollingSum minus_;
  support::RollingSum range_;
  // Bars in a row without true range: the window is flat when it holds no others. A running
  // sum of zeros may keep rounding residue, so it cannot tell.
  support::StateHistory<std::size_t> still_;
};

}  // namespace tolbu_sdk::ta

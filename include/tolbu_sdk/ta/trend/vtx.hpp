#pragma once
// Vortex Indicator (Botes, Siepman): the upward (|high - previous low|) and downward
// (|low - previous high|) vortex movements summed over `period` bars, each over the summed true
// range. Needs one bar before the window; a window without range repeats the previous value.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"
#include "tolbu_sdk/ta/support/state_history.hpp"

namespace tolbu_sdk::ta {

// One output of VTX; absent fields are still warming up.
struct TOLBU_API VTXValue {
  // VI+: summed upward vortex movement over the summed true range.
  std::optional<double> plus_vtx;
  // VI-: summed downward vortex movement over the summed true range.
  std::optional<double> minus_vtx;

  // Field by field; absent equals absent.
  bool operator==(const VTXValue&) const = default;
  // The fields by name, in order, for handling the output dynamically.
  Record fields() const { return {{"plus_vtx", plus_vtx}, {"minus_vtx", minus_vtx}}; }
};

// Vortex Indicator: upward and downward vortex movement relative to the true range.
class TOLBU_API VTX : public PeriodIndicator<OHLCV, VTXValue> {
 public:
  // Over `period` bars (plus one before); ValueError for a period below 1.
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

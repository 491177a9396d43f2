#include "tolbu_sdk/ta/volume/sobv.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

SOBV::SOBV(int period, const IndicatorOptions& options)
    : Indicator(options), sma_(detail::positive("SOBV", "period", period)) {
  _manage(obv_);
  _manage(sma_);
}

std::optional<double> SOBV::_calculate_new_value() {
  obv_.add(input_values().back());
  sma_.add(obv_.value());
  return sma_.value();
}

SOBV::SOBV(Params& p, const IndicatorOptions& o) : SOBV{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(SOBV)

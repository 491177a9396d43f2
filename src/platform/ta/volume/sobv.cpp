#include "tolbu_sdk/ta/volume/sobv.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {

SOBV::SOBV(int period, const IndicatorOptions& options)
    : Indicator(options), _sma(detail::positive("SOBV", "period", period)) {
  _manage(_obv);
  _manage(_sma);
}

std::optional<double> SOBV::_calculate_new_value() {
  _obv.add(input_values().back());
  _sma.add(_obv.value());
  return _sma.value();
}

SOBV::SOBV(Params& p, const IndicatorOptions& o) : SOBV{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(SOBV)

#include "tolbu_sdk/ta/averages/zlema.hpp"

#include "../check.hpp"
#include "tolbu_sdk/ta/registry.hpp"

namespace tolbu_sdk::ta {
namespace {
// (period - 1) / 2, a half rounded to even: 2 for period 6, 10 for period 20 and 21.
std::size_t lag_of(int period) {
  const auto n = static_cast<std::size_t>(period - 1);
  const std::size_t half = n / 2;
  return n % 2 == 0 || half % 2 == 0 ? half : half + 1;
}
}  // namespace

ZLEMA::ZLEMA(int period, const IndicatorOptions& options)
    : PeriodIndicator(detail::positive("ZLEMA", "period", period), options),
      lag_(lag_of(period)),
      ema_(static_cast<std::size_t>(period)) {
  _keep_history(lag_ + 1);
  _manage(ema_);
}

std::optional<double> ZLEMA::_calculate_new_value() {
  const auto& in = input_values();
  if (input_count() <= lag_) {
    ema_.push_absent();
    return std::nullopt;
  }
  ema_.push(2 * in.back() - in.back(lag_));
  if (!ema_.ready()) return std::nullopt;
  return ema_.value();
}

ZLEMA::ZLEMA(Params& p, const IndicatorOptions& o) : ZLEMA{p.integer("period"), o} {}

}  // namespace tolbu_sdk::ta

TOLBU_TA_REGISTER(ZLEMA)

#include "tolbu_sdk/features/indicators.hpp"

#include <algorithm>
#include <string>

#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/datetime.hpp"

namespace tolbu_sdk::features::indicators {

Resampler::Resampler(SamplingPeriodType input_sampling, std::size_t max_history)
    : Indicator(IndicatorOptions{.input_sampling = input_sampling, .max_history = max_history}) {}

std::optional<OHLCV> Resampler::_calculate_new_value() {
  const auto& in = input_values();
  if (in.empty()) return std::nullopt;
  return in.back();
}

OHLCV to_ohlcv(const strategy::Bar& bar) {
  return OHLCV{bar.open, bar.high, bar.low, bar.close, bar.volume, bar.time};
}

OHLCV to_ohlcv(const types::Candle& candle) {
  return OHLCV{candle.open,   candle.high,
               candle.low,    candle.close,
               candle.volume, platform::from_epoch_ms(static_cast<double>(candle.time))};
}

Value close_of(const Value& v) {
  if (const OHLCV* bar = std::get_if<OHLCV>(&v)) return bar->close;
  if (std::holds_alternative<std::monostate>(v)) return v;
  throw TypeError(std::string("input has no close field: ") + std::string(ta::kind_name(v)));
}

namespace detail {

SmartState::~SmartState() = default;

IndicatorOptions smart_options(SmartState& state, bool is_ohlcv_native,
                               const IndicatorOptions& options) {
  if (!options.input_sampling || is_ohlcv_native) return options;
  IndicatorOptions routed = options;
  state._resampler = std::make_unique<Resampler>(*options.input_sampling, options.max_history);
  routed.input_sampling.reset();
  routed.input_indicator = state._resampler.get();
  if (!routed.input_modifier) routed.input_modifier = close_of;
  return routed;
}

void feed_resampler(SmartState& state, ResamplerOp op, const Value& v) {
  state._is_feeding = true;
  try {
    switch (op) {
      case ResamplerOp::ADD:
        state._resampler->add_value(v);
        break;
      case ResamplerOp::UPDATE:
        state._resampler->update_value(v);
        break;
      case ResamplerOp::REMOVE:
        state._resampler->remove();
        break;
      case ResamplerOp::REMOVE_ALL:
        state._resampler->remove_all();
        break;
    }
  } catch (...) {
    state._is_feeding = false;
    throw;
  }
  state._is_feeding = false;
}

}  // namespace detail

namespace {

template <class... Smart>
ta::Registry registry_of() {
  ta::Registry registry;
  (registry.add(Smart::name(), &ta::construct<Smart>), ...);
  return registry;
}

// The smart variants by name, each built by its library indicator's reading constructor. The
// tests keep this list in step with the library's registry.
const ta::Registry& smart_registry() {
  static const ta::Registry registry =
      registry_of<ADX, ALMA, AO, ATR, AccuDist, Aroon, BB, BOP, CCI, CHOP, ChaikinOsc,
                  ChandeKrollStop, CoppockCurve, DEMA, DPO, DonchianChannels, EMA, EMV, ForceIndex,
                  HMA, IBS, Ichimoku, KAMA, KST, KVO, KeltnerChannels, MACD, MassIndex,
                  McGinleyDynamic, MeanDev, NATR, OBV, ParabolicSAR, PivotsHL, ROC, RSI,
                  RogersSatchell, SFX, SMA, SMMA, SOBV, STC, StdDev, Stoch, StochRSI, SuperTrend,
                  T3, TEMA, TRIX, TSI, TTM, UO, VTX, VWAP, VWMA, WMA, Williams, ZLEMA, ZigZag>();
  return registry;
}

}  // namespace

const std::vector<std::string>& export_list() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out = smart_registry().names();
    out.emplace_back("FibonacciRetracement");
    std::sort(out.begin(), out.end());
    out.emplace_back("SamplingPeriodType");
    return out;
  }();
  return names;
}

std::unique_ptr<ta::IndicatorBase> create(std::string_view name, std::vector<ParamValue> positional,
                                          std::vector<NamedParam> named,
                                          const IndicatorOptions& options) {
  if (name == "FibonacciRetracement") {
    throw ValueError("FibonacciRetracement is not an indicator: use its calculate()");
  }
  return smart_registry().create(name, std::move(positional), std::move(named), options);
}

const detail::SmartState* smart_state(const ta::IndicatorBase& indicator) {
  return dynamic_cast<const detail::SmartState*>(&indicator);
}

}  // namespace tolbu_sdk::features::indicators

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

using Made = std::unique_ptr<ta::IndicatorBase>;
using Maker = Made (*)(Params&, const IndicatorOptions&);

// One entry per library indicator, reading the parameters as the library's registration does
// but building the smart variant (unqualified names here are this namespace's smart classes).
// The tests keep it in step with the library's registry.
const std::vector<std::pair<std::string_view, Maker>>& makers() {
  static const std::vector<std::pair<std::string_view, Maker>> table{
      {"ADX",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int di_period = p.integer("di_period");
           const int adx_period = p.integer("adx_period");
           return std::make_unique<ADX>(di_period, adx_period, o);
         })(p, o);
       }},
      {"ALMA",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int period = p.integer("period");
           const double offset = p.number("offset");
           return std::make_unique<ALMA>(period, offset, p.number("sigma"), o);
         })(p, o);
       }},
      {"AO",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int fast = p.integer("fast_period");
           const int slow = p.integer("slow_period");
           return std::make_unique<AO>(fast, slow, p.ma_type("ma_type", MAType::SMA), o);
         })(p, o);
       }},
      {"ATR",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<ATR>(p.integer("period"), o);
         })(p, o);
       }},
      {"AccuDist",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params&, const IndicatorOptions& o) { return std::make_unique<AccuDist>(o); })(
             p, o);
       }},
      {"Aroon",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<Aroon>(p.integer("period"), o);
         })(p, o);
       }},
      {"BB",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int period = p.integer("period");
           const double mult = p.number("std_dev_mult");
           return std::make_unique<BB>(period, mult, p.ma_type("ma_type", MAType::SMA), o);
         })(p, o);
       }},
      {"BOP",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params&, const IndicatorOptions& o) { return std::make_unique<BOP>(o); })(p, o);
       }},
      {"CCI",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<CCI>(p.integer("period"), o);
         })(p, o);
       }},
      {"CHOP",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<CHOP>(p.integer("period"), o);
         })(p, o);
       }},
      {"ChaikinOsc",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int fast_period = p.integer("fast_period");
           const int slow_period = p.integer("slow_period");
           const MAType ma_type = p.ma_type("ma_type", MAType::EMA);
           return std::make_unique<ChaikinOsc>(fast_period, slow_period, ma_type, o);
         })(p, o);
       }},
      {"ChandeKrollStop",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int atr_period = p.integer("atr_period");
           const double atr_mult = p.number("atr_mult");
           const int period = p.integer("period");
           return std::make_unique<ChandeKrollStop>(atr_period, atr_mult, period, o);
         })(p, o);
       }},
      {"CoppockCurve",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int fast = p.integer("fast_roc_period");
           const int slow = p.integer("slow_roc_period");
           const int wma = p.integer("wma_period");
           return std::make_unique<CoppockCurve>(fast, slow, wma, o);
         })(p, o);
       }},
      {"DEMA",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<DEMA>(p.integer("period"), o);
         })(p, o);
       }},
      {"DPO",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int period = p.integer("period");
           return std::make_unique<DPO>(period, p.ma_type("ma_type", MAType::SMA), o);
         })(p, o);
       }},
      {"DonchianChannels",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<DonchianChannels>(p.integer("period"), o);
         })(p, o);
       }},
      {"EMA",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<EMA>(p.integer("period"), o);
         })(p, o);
       }},
      {"EMV",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int period = p.integer("period");
           const double volume_div = p.number("volume_div");
           const MAType ma_type = p.ma_type("ma_type", MAType::SMA);
           return std::make_unique<EMV>(period, volume_div, ma_type, o);
         })(p, o);
       }},
      {"ForceIndex",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int period = p.integer("period");
           const MAType ma_type = p.ma_type("ma_type", MAType::EMA);
           return std::make_unique<ForceIndex>(period, ma_type, o);
         })(p, o);
       }},
      {"HMA",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<HMA>(p.integer("period"), o);
         })(p, o);
       }},
      {"IBS",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params&, const IndicatorOptions& o) { return std::make_unique<IBS>(o); })(p, o);
       }},
      {"Ichimoku",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int kijun = p.integer("kijun_period");
           const int tenkan = p.integer("tenkan_period");
           const int chikou = p.integer("chikou_lag_period");
           const int slow = p.integer("senkou_slow_period");
           const int lookup = p.integer("senkou_lookup_period");
           return std::make_unique<Ichimoku>(kijun, tenkan, chikou, slow, lookup, o);
         })(p, o);
       }},
      {"KAMA",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int period = p.integer("period");
           const int fast = p.integer("fast_ema_constant_period");
           const int slow = p.integer("slow_ema_constant_period");
           return std::make_unique<KAMA>(period, fast, slow, o);
         })(p, o);
       }},
      {"KST",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int r1 = p.integer("roc1_period");
           const int m1 = p.integer("roc1_ma_period");
           const int r2 = p.integer("roc2_period");
           const int m2 = p.integer("roc2_ma_period");
           const int r3 = p.integer("roc3_period");
           const int m3 = p.integer("roc3_ma_period");
           const int r4 = p.integer("roc4_period");
           const int m4 = p.integer("roc4_ma_period");
           const int signal = p.integer("signal_period");
           return std::make_unique<KST>(r1, m1, r2, m2, r3, m3, r4, m4, signal,
                                        p.ma_type("ma_type", MAType::SMA), o);
         })(p, o);
       }},
      {"KVO",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int fast_period = p.integer("fast_period");
           const int slow_period = p.integer("slow_period");
           const MAType ma_type = p.ma_type("ma_type", MAType::EMA);
           return std::make_unique<KVO>(fast_period, slow_period, ma_type, o);
         })(p, o);
       }},
      {"KeltnerChannels",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int ma_period = p.integer("ma_period");
           const int atr_period = p.integer("atr_period");
           const double up = p.number("atr_mult_up");
           const double down = p.number("atr_mult_down");
           const MAType ma_type = p.ma_type("ma_type", MAType::EMA);
           return std::make_unique<KeltnerChannels>(ma_period, atr_period, up, down, ma_type, o);
         })(p, o);
       }},
      {"MACD",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int fast = p.integer("fast_period");
           const int slow = p.integer("slow_period");
           const int signal = p.integer("signal_period");
           return std::make_unique<MACD>(fast, slow, signal, p.ma_type("ma_type", MAType::EMA), o);
         })(p, o);
       }},
      {"MassIndex",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int ma_period = p.integer("ma_period");
           const int ma_ma_period = p.integer("ma_ma_period");
           const int ma_ratio_period = p.integer("ma_ratio_period");
           const MAType ma_type = p.ma_type("ma_type", MAType::EMA);
           return std::make_unique<MassIndex>(ma_period, ma_ma_period, ma_ratio_period, ma_type, o);
         })(p, o);
       }},
      {"McGinleyDynamic",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<McGinleyDynamic>(p.integer("period"), o);
         })(p, o);
       }},
      {"MeanDev",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int period = p.integer("period");
           return std::make_unique<MeanDev>(period, p.ma_type("ma_type", MAType::SMA), o);
         })(p, o);
       }},
      {"NATR",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<NATR>(p.integer("period"), o);
         })(p, o);
       }},
      {"OBV",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params&, const IndicatorOptions& o) { return std::make_unique<OBV>(o); })(p, o);
       }},
      {"ParabolicSAR",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const double init = p.number("init_accel_factor");
           const double inc = p.number("accel_factor_inc");
           const double max = p.number("max_accel_factor");
           return std::make_unique<ParabolicSAR>(init, inc, max, o);
         })(p, o);
       }},
      {"PivotsHL",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int high = p.integer("high_period");
           const int low = p.integer("low_period");
           return std::make_unique<PivotsHL>(high, low, o);
         })(p, o);
       }},
      {"ROC",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<ROC>(p.integer("period"), o);
         })(p, o);
       }},
      {"RSI",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<RSI>(p.integer("period"), o);
         })(p, o);
       }},
      {"RogersSatchell",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<RogersSatchell>(p.integer("period"), o);
         })(p, o);
       }},
      {"SFX",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int atr_period = p.integer("atr_period");
           const int std_dev_period = p.integer("std_dev_period");
           const int smoothing = p.integer("std_dev_smoothing_period");
           const MAType ma_type = p.ma_type("ma_type", MAType::SMA);
           return std::make_unique<SFX>(atr_period, std_dev_period, smoothing, ma_type, o);
         })(p, o);
       }},
      {"SMA",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<SMA>(p.integer("period"), o);
         })(p, o);
       }},
      {"SMMA",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<SMMA>(p.integer("period"), o);
         })(p, o);
       }},
      {"SOBV",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<SOBV>(p.integer("period"), o);
         })(p, o);
       }},
      {"STC",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int fast = p.integer("fast_macd_period");
           const int slow = p.integer("slow_macd_period");
           const int stoch = p.integer("stoch_period");
           const int smoothing = p.integer("stoch_smoothing_period");
           return std::make_unique<STC>(fast, slow, stoch, smoothing,
                                        p.ma_type("stoch_ma_type", MAType::SMA), o);
         })(p, o);
       }},
      {"StdDev",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<StdDev>(p.integer("period"), o);
         })(p, o);
       }},
      {"Stoch",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int period = p.integer("period");
           const int smoothing = p.integer("smoothing_period");
           return std::make_unique<Stoch>(period, smoothing, p.ma_type("ma_type", MAType::SMA), o);
         })(p, o);
       }},
      {"StochRSI",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int rsi = p.integer("rsi_period");
           const int stoch = p.integer("stoch_period");
           const int k = p.integer("k_smoothing_period");
           const int d = p.integer("d_smoothing_period");
           return std::make_unique<StochRSI>(rsi, stoch, k, d, p.ma_type("ma_type", MAType::SMA),
                                             o);
         })(p, o);
       }},
      {"SuperTrend",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int atr_period = p.integer("atr_period");
           const double mult = p.number("mult");
           return std::make_unique<SuperTrend>(atr_period, mult, o);
         })(p, o);
       }},
      {"T3",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int period = p.integer("period");
           return std::make_unique<T3>(period, p.number("factor", 0.7), o);
         })(p, o);
       }},
      {"TEMA",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<TEMA>(p.integer("period"), o);
         })(p, o);
       }},
      {"TRIX",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<TRIX>(p.integer("period"), o);
         })(p, o);
       }},
      {"TSI",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int fast = p.integer("fast_period");
           const int slow = p.integer("slow_period");
           return std::make_unique<TSI>(fast, slow, p.ma_type("ma_type", MAType::EMA), o);
         })(p, o);
       }},
      {"TTM",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int period = p.integer("period");
           const double bb_std_dev_mult = p.number("bb_std_dev_mult", 2.0);
           const double kc_atr_mult = p.number("kc_atr_mult", 1.5);
           const MAType ma_type = p.ma_type("ma_type", MAType::SMA);
           return std::make_unique<TTM>(period, bb_std_dev_mult, kc_atr_mult, ma_type, o);
         })(p, o);
       }},
      {"UO",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const int fast = p.integer("fast_period");
           const int mid = p.integer("mid_period");
           const int slow = p.integer("slow_period");
           return std::make_unique<UO>(fast, mid, slow, o);
         })(p, o);
       }},
      {"VTX",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<VTX>(p.integer("period"), o);
         })(p, o);
       }},
      {"VWAP",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params&, const IndicatorOptions& o) { return std::make_unique<VWAP>(o); })(p,
                                                                                               o);
       }},
      {"VWMA",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<VWMA>(p.integer("period"), o);
         })(p, o);
       }},
      {"WMA",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<WMA>(p.integer("period"), o);
         })(p, o);
       }},
      {"Williams",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<Williams>(p.integer("period"), o);
         })(p, o);
       }},
      {"ZLEMA",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           return std::make_unique<ZLEMA>(p.integer("period"), o);
         })(p, o);
       }},
      {"ZigZag",
       [](Params& p, const IndicatorOptions& o) -> Made {
         return ([](Params& p, const IndicatorOptions& o) {
           const double sensitivity = p.number("sensitivity");
           const int min_trend_length = p.integer("min_trend_length");
           return std::make_unique<ZigZag>(sensitivity, min_trend_length, o);
         })(p, o);
       }},
  };
  return table;
}

}  // namespace

const std::vector<std::string>& export_list() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (const auto& entry : makers()) out.emplace_back(entry.first);
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
  const auto& table = makers();
  const auto it =
      std::find_if(table.begin(), table.end(), [&](const auto& e) { return e.first == name; });
  if (it == table.end()) {
    if (name == "FibonacciRetracement") {
      throw ValueError("FibonacciRetracement is not an indicator: use its calculate()");
    }
    throw ValueError("unknown indicator '" + std::string(name) + "'");
  }
  Params params(name, std::move(positional), std::move(named));
  auto indicator = it->second(params, options);
  params.finish();
  return indicator;
}

const detail::SmartState* smart_state(const ta::IndicatorBase& indicator) {
  return dynamic_cast<const detail::SmartState*>(&indicator);
}

}  // namespace tolbu_sdk::features::indicators

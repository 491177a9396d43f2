#pragma once
// Smart indicators: every indicator of the library under its own name, fed a Bar, a Candle,
// an OHLCV or a number, whatever its own input, and able to resample its input to a coarser
// period before computing.
//
//   using namespace features::indicators;
//   SMA sma(20, IndicatorOptions{.input_sampling = SamplingPeriodType::MIN_5});
//   sma.add(bar);            // the close of the newest bar of each 5 minutes
//   ATR atr(14);
//   atr.add(bar);            // ATR takes the bar itself
//
// Indicators named in OHLCV_INDICATORS take whole bars; the others take the close. A
// non-OHLCV indicator built with input_sampling gets a Resampler in front of it (the library
// samples only inputs that carry a time): the bar goes to the Resampler, whose output comes
// back as this indicator's input, reduced to its close by the input_modifier unless the caller
// gave one. Updates and removals go the same way, so that the Resampler and the indicator
// stay in step: remove() drops the newest sample (bars already folded into it do not come
// back), update() replaces it. Reading values and chaining are the library's, and so is the
// checking: a refused input (wrong kind, not finite, no time to sample by) changes nothing.
// `create` builds any of them by name.

#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/ta/averages/alma.hpp"
#include "tolbu_sdk/ta/averages/dema.hpp"
#include "tolbu_sdk/ta/averages/ema.hpp"
#include "tolbu_sdk/ta/averages/hma.hpp"
#include "tolbu_sdk/ta/averages/kama.hpp"
#include "tolbu_sdk/ta/averages/mcginley_dynamic.hpp"
#include "tolbu_sdk/ta/averages/sma.hpp"
#include "tolbu_sdk/ta/averages/smma.hpp"
#include "tolbu_sdk/ta/averages/t3.hpp"
#include "tolbu_sdk/ta/averages/tema.hpp"
#include "tolbu_sdk/ta/averages/trix.hpp"
#include "tolbu_sdk/ta/averages/vwma.hpp"
#include "tolbu_sdk/ta/averages/wma.hpp"
#include "tolbu_sdk/ta/averages/zlema.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/levels/fibonacci_retracement.hpp"
#include "tolbu_sdk/ta/levels/pivots_hl.hpp"
#include "tolbu_sdk/ta/levels/zig_zag.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/momentum/ao.hpp"
#include "tolbu_sdk/ta/momentum/bop.hpp"
#include "tolbu_sdk/ta/momentum/cci.hpp"
#include "tolbu_sdk/ta/momentum/coppock_curve.hpp"
#include "tolbu_sdk/ta/momentum/dpo.hpp"
#include "tolbu_sdk/ta/momentum/ibs.hpp"
#include "tolbu_sdk/ta/momentum/kst.hpp"
#include "tolbu_sdk/ta/momentum/macd.hpp"
#include "tolbu_sdk/ta/momentum/roc.hpp"
#include "tolbu_sdk/ta/momentum/rsi.hpp"
#include "tolbu_sdk/ta/momentum/stc.hpp"
#include "tolbu_sdk/ta/momentum/stoch.hpp"
#include "tolbu_sdk/ta/momentum/stoch_rsi.hpp"
#include "tolbu_sdk/ta/momentum/tsi.hpp"
#include "tolbu_sdk/ta/momentum/uo.hpp"
#include "tolbu_sdk/ta/momentum/williams.hpp"
#include "tolbu_sdk/ta/registry.hpp"
#include "tolbu_sdk/ta/sampling.hpp"
#include "tolbu_sdk/ta/statistics/mean_dev.hpp"
#include "tolbu_sdk/ta/statistics/std_dev.hpp"
#include "tolbu_sdk/ta/trend/adx.hpp"
#include "tolbu_sdk/ta/trend/aroon.hpp"
#include "tolbu_sdk/ta/trend/ichimoku.hpp"
#include "tolbu_sdk/ta/trend/parabolic_sar.hpp"
#include "tolbu_sdk/ta/trend/super_trend.hpp"
#include "tolbu_sdk/ta/trend/vtx.hpp"
#include "tolbu_sdk/ta/volatility/atr.hpp"
#include "tolbu_sdk/ta/volatility/bb.hpp"
#include "tolbu_sdk/ta/volatility/chande_kroll_stop.hpp"
#include "tolbu_sdk/ta/volatility/chop.hpp"
#include "tolbu_sdk/ta/volatility/donchian_channels.hpp"
#include "tolbu_sdk/ta/volatility/keltner_channels.hpp"
#include "tolbu_sdk/ta/volatility/mass_index.hpp"
#include "tolbu_sdk/ta/volatility/natr.hpp"
#include "tolbu_sdk/ta/volatility/rogers_satchell.hpp"
#include "tolbu_sdk/ta/volatility/sfx.hpp"
#include "tolbu_sdk/ta/volatility/ttm.hpp"
#include "tolbu_sdk/ta/volume/accu_dist.hpp"
#include "tolbu_sdk/ta/volume/chaikin_osc.hpp"
#include "tolbu_sdk/ta/volume/emv.hpp"
#include "tolbu_sdk/ta/volume/force_index.hpp"
#include "tolbu_sdk/ta/volume/kvo.hpp"
#include "tolbu_sdk/ta/volume/obv.hpp"
#include "tolbu_sdk/ta/volume/sobv.hpp"
#include "tolbu_sdk/ta/volume/vwap.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "tolbu_sdk/strategy/bar.hpp"
#include "tolbu_sdk/types/records.hpp"

// The smart indicators: every library indicator fed bars, candles or numbers alike.
namespace tolbu_sdk::features::indicators {

using ta::IndicatorOptions;
using ta::MAType;
using ta::NamedParam;
using ta::OHLCV;
using ta::Params;
using ta::ParamValue;
using ta::SamplingPeriodType;
using ta::Value;

// Names of the indicators that take whole bars, ascending; the test is by name only. AO is
// among them: it works on the bars' median prices and cannot take closes.
inline constexpr std::array<std::string_view, 35> OHLCV_INDICATORS{"ADX",
                                                                   "AO",
                                                                   "ATR",
                                                                   "AccuDist",
                                                                   "Aroon",
                                                                   "BOP",
                                                                   "CCI",
                                                                   "CHOP",
                                                                   "ChaikinOsc",
                                                                   "ChandeKrollStop",
                                                                   "DonchianChannels",
                                                                   "EMV",
                                                                   "FibonacciRetracement",
                                                                   "ForceIndex",
                                                                   "IBS",
                                                                   "Ichimoku",
                                                                   "KVO",
                                                                   "KeltnerChannels",
                                                                   "MassIndex",
                                                                   "NATR",
                                                                   "OBV",
                                                                   "ParabolicSAR",
                                                                   "PivotsHL",
                                                                   "RogersSatchell",
                                                                   "SFX",
                                                                   "SOBV",
                                                                   "Stoch",
                                                                   "SuperTrend",
                                                                   "TTM",
                                                                   "UO",
                                                                   "VTX",
                                                                   "VWAP",
                                                                   "VWMA",
                                                                   "Williams",
                                                                   "ZigZag"};

// Whether indicator `name` takes whole bars (is in OHLCV_INDICATORS).
constexpr bool is_ohlcv_indicator(std::string_view name) {
  return std::find(OHLCV_INDICATORS.begin(), OHLCV_INDICATORS.end(), name) !=
         OHLCV_INDICATORS.end();
}

// A pass-through: its value for each input is the input itself. It carries the library's
// input sampling in front of an indicator that cannot sample its own input.
class TOLBU_API Resampler : public ta::Indicator<OHLCV, OHLCV> {
 public:
  // Folds bars into `input_sampling` periods; holds at most `max_history` of them (0: all).
  explicit Resampler(SamplingPeriodType input_sampling, std::size_t max_history = 0);

 protected:
  std::optional<OHLCV> _calculate_new_value() override;
};

// The inputs a smart indicator takes, as the library's dynamic value.
TOLBU_API OHLCV to_ohlcv(const strategy::Bar& bar);
// The same for a candle of the market data service.
TOLBU_API OHLCV to_ohlcv(const types::Candle& candle);
// The input modifier a resampled value indicator gets by default: the close of a bar.
TOLBU_API Value close_of(const Value& v);

namespace detail {

template <std::size_t N>
struct FixedName {
  char text[N]{};
  constexpr FixedName(const char (&s)[N]) { std::copy_n(s, N, text); }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

// The members of a smart indicator that must exist before the library's constructor runs.
struct TOLBU_API SmartState {
  std::unique_ptr<Resampler> _resampler;  // absent unless made for input_sampling
  bool _is_feeding = false;               // true while add pushes a value through it

  SmartState() = default;
  SmartState(const SmartState&) = delete;
  SmartState& operator=(const SmartState&) = delete;
  virtual ~SmartState();
  virtual std::string_view smart_name() const = 0;
};

// Routes input_sampling: kept for an OHLCV indicator, else turned into a Resampler in front.
TOLBU_API IndicatorOptions smart_options(SmartState& state, bool is_ohlcv_native,
                                         const IndicatorOptions& options);
// What the smart indicator asks of its resampler.
enum class ResamplerOp { ADD, UPDATE, REMOVE, REMOVE_ALL };
// Does `op` on the resampler with _is_feeding set, and cleared even if that fails; the
// resampler's outputs come back to the smart indicator through the chain.
TOLBU_API void feed_resampler(SmartState& state, ResamplerOp op, const Value& v = {});

}  // namespace detail

// The smart variant of library indicator T, exported under Name.
template <class T, detail::FixedName Name>
class SmartWrapper : public detail::SmartState, public T {
 public:
  using library_type = T;  // the library indicator it wraps

  // The name it is exported and created under.
  static constexpr std::string_view name() { return Name.view(); }
  // Whether it takes whole bars; the others take the close of a bar.
  static constexpr bool is_ohlcv_native() { return is_ohlcv_indicator(Name.view()); }
  // name(), for code that holds only the indicator's SmartState.
  std::string_view smart_name() const override { return Name.view(); }

  // The library's parameters (or its Params, for building by name), then its options; see
  // the top of this file for input_sampling. Options given as a braced list are spelled
  // IndicatorOptions{...}: a template cannot take a bare braced list.
  template <class... A>
  explicit SmartWrapper(A&&... args)
      : detail::SmartState(),
        T(_route(*static_cast<detail::SmartState*>(this), std::forward<A>(args))...) {}

  // @name Adding inputs
  //@{
  // Adds an input: a number, or a bar (OHLCV, strategy Bar, Candle) that a close-based
  // indicator reduces to its close; with input_sampling it goes through the resampler first.
  void add(double v) { _add(Value(v)); }
  void add(const OHLCV& v) { _add(Value(v)); }
  void add(const strategy::Bar& v) { _add(Value(to_ohlcv(v))); }
  void add(const types::Candle& v) { _add(Value(to_ohlcv(v))); }
  void add(const Value& v) { _add(v); }
  template <ta::InputRange Range>
  void add(const Range& values) {
    for (const auto& v : values) add(v);
  }
  //@}

  // Chained outputs (the resampler's among them) arrive here.
  void add_value(const Value& v) override { _add(v); }

  // @name Replacing the newest input
  //@{
  // Replaces the newest input, converted as add converts it; on a resampled indicator, the
  // newest bar held by the resampler.
  void update(double v) { update_value(Value(v)); }
  void update(const OHLCV& v) { update_value(Value(v)); }
  void update(const strategy::Bar& v) { update_value(Value(to_ohlcv(v))); }
  void update(const types::Candle& v) { update_value(Value(to_ohlcv(v))); }
  void update_value(const Value& v) override {
    if (this->_is_feeding) {
      T::update_value(v);
    } else if (this->_resampler) {
      detail::feed_resampler(*this, detail::ResamplerOp::UPDATE, v);
    } else {
      T::update_value(_converted(v));
    }
  }
  //@}

  // On a resampled indicator the resampler's newest bar goes too, so that the next bar of its
  // period starts afresh instead of folding into a bar that is gone.
  void remove() override {
    if (this->_is_feeding || !this->_resampler) {
      T::remove();
    } else {
      detail::feed_resampler(*this, detail::ResamplerOp::REMOVE);
    }
  }
  // Drops every input and output, the resampler's bars included.
  void remove_all() override {
    if (this->_is_feeding || !this->_resampler) {
      T::remove_all();
    } else {
      detail::feed_resampler(*this, detail::ResamplerOp::REMOVE_ALL);
    }
  }

 private:
  // Runs before T is constructed, when only the SmartState part of this object exists.
  template <class A>
  static decltype(auto) _route(detail::SmartState& state, A&& a) {
    if constexpr (std::is_same_v<std::decay_t<A>, IndicatorOptions>) {
      return detail::smart_options(state, is_ohlcv_native(), a);
    } else {
      return std::forward<A>(a);
    }
  }

  Value _converted(const Value& v) const {
    if (!is_ohlcv_native()) {
      if (const OHLCV* bar = std::get_if<OHLCV>(&v)) return bar->close;
    }
    return v;
  }

  void _add(const Value& v) {
    if (this->_is_feeding) {
      T::add_value(v);  // the resampler's output coming back
      return;
    }
    if (this->_resampler) {
      detail::feed_resampler(*this, detail::ResamplerOp::ADD, v);
      return;
    }
    T::add_value(_converted(v));
  }
};

// @name The smart indicators
//@{
// The ta:: indicator of the same name, fed bars, candles or numbers alike. Built with that
// indicator's parameters, then IndicatorOptions (input_sampling resamples any of them).
using ADX = SmartWrapper<ta::ADX, "ADX">;
using ALMA = SmartWrapper<ta::ALMA, "ALMA">;
using AO = SmartWrapper<ta::AO, "AO">;
using ATR = SmartWrapper<ta::ATR, "ATR">;
using AccuDist = SmartWrapper<ta::AccuDist, "AccuDist">;
using Aroon = SmartWrapper<ta::Aroon, "Aroon">;
using BB = SmartWrapper<ta::BB, "BB">;
using BOP = SmartWrapper<ta::BOP, "BOP">;
using CCI = SmartWrapper<ta::CCI, "CCI">;
using CHOP = SmartWrapper<ta::CHOP, "CHOP">;
using ChaikinOsc = SmartWrapper<ta::ChaikinOsc, "ChaikinOsc">;
using ChandeKrollStop = SmartWrapper<ta::ChandeKrollStop, "ChandeKrollStop">;
using CoppockCurve = SmartWrapper<ta::CoppockCurve, "CoppockCurve">;
using DEMA = SmartWrapper<ta::DEMA, "DEMA">;
using DPO = SmartWrapper<ta::DPO, "DPO">;
using DonchianChannels = SmartWrapper<ta::DonchianChannels, "DonchianChannels">;
using EMA = SmartWrapper<ta::EMA, "EMA">;
using EMV = SmartWrapper<ta::EMV, "EMV">;
using ForceIndex = SmartWrapper<ta::ForceIndex, "ForceIndex">;
using HMA = SmartWrapper<ta::HMA, "HMA">;
using IBS = SmartWrapper<ta::IBS, "IBS">;
using Ichimoku = SmartWrapper<ta::Ichimoku, "Ichimoku">;
using KAMA = SmartWrapper<ta::KAMA, "KAMA">;
using KST = SmartWrapper<ta::KST, "KST">;
using KVO = SmartWrapper<ta::KVO, "KVO">;
using KeltnerChannels = SmartWrapper<ta::KeltnerChannels, "KeltnerChannels">;
using MACD = SmartWrapper<ta::MACD, "MACD">;
using MassIndex = SmartWrapper<ta::MassIndex, "MassIndex">;
using McGinleyDynamic = SmartWrapper<ta::McGinleyDynamic, "McGinleyDynamic">;
using MeanDev = SmartWrapper<ta::MeanDev, "MeanDev">;
using NATR = SmartWrapper<ta::NATR, "NATR">;
using OBV = SmartWrapper<ta::OBV, "OBV">;
using ParabolicSAR = SmartWrapper<ta::ParabolicSAR, "ParabolicSAR">;
using PivotsHL = SmartWrapper<ta::PivotsHL, "PivotsHL">;
using ROC = SmartWrapper<ta::ROC, "ROC">;
using RSI = SmartWrapper<ta::RSI, "RSI">;
using RogersSatchell = SmartWrapper<ta::RogersSatchell, "RogersSatchell">;
using SFX = SmartWrapper<ta::SFX, "SFX">;
using SMA = SmartWrapper<ta::SMA, "SMA">;
using SMMA = SmartWrapper<ta::SMMA, "SMMA">;
using SOBV = SmartWrapper<ta::SOBV, "SOBV">;
using STC = SmartWrapper<ta::STC, "STC">;
using StdDev = SmartWrapper<ta::StdDev, "StdDev">;
using Stoch = SmartWrapper<ta::Stoch, "Stoch">;
using StochRSI = SmartWrapper<ta::StochRSI, "StochRSI">;
using SuperTrend = SmartWrapper<ta::SuperTrend, "SuperTrend">;
using T3 = SmartWrapper<ta::T3, "T3">;
using TEMA = SmartWrapper<ta::TEMA, "TEMA">;
using TRIX = SmartWrapper<ta::TRIX, "TRIX">;
using TSI = SmartWrapper<ta::TSI, "TSI">;
using TTM = SmartWrapper<ta::TTM, "TTM">;
using UO = SmartWrapper<ta::UO, "UO">;
using VTX = SmartWrapper<ta::VTX, "VTX">;
using VWAP = SmartWrapper<ta::VWAP, "VWAP">;
using VWMA = SmartWrapper<ta::VWMA, "VWMA">;
using WMA = SmartWrapper<ta::WMA, "WMA">;
using Williams = SmartWrapper<ta::Williams, "Williams">;
using ZLEMA = SmartWrapper<ta::ZLEMA, "ZLEMA">;
using ZigZag = SmartWrapper<ta::ZigZag, "ZigZag">;
//@}

// Not an indicator: the retracement coefficients and the level of a value.
using FibonacciRetracement = ta::FibonacciRetracement;

// The exported names: the smart indicators (and FibonacciRetracement) ascending, then
// "SamplingPeriodType".
TOLBU_API const std::vector<std::string>& export_list();

// Builds the smart indicator `name` from its parameters (positional, then named) and options.
TOLBU_API std::unique_ptr<ta::IndicatorBase> create(std::string_view name,
                                                    std::vector<ParamValue> positional = {},
                                                    std::vector<NamedParam> named = {},
                                                    const IndicatorOptions& options = {});

// The smart side of an indicator built here (its name, resampler and feeding flag); null for
// a plain library indicator.
TOLBU_API const detail::SmartState* smart_state(const ta::IndicatorBase& indicator);

}  // namespace tolbu_sdk::features::indicators

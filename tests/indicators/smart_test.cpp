// The smart layer: what each kind of indicator is fed, the resampler path, the export list and
// the factory by name.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>

#include <fmt/format.h>

#include "reference.hpp"
#include "tolbu_sdk/features/indicators.hpp"
#include "tolbu_sdk/platform/datetime.hpp"

namespace tolbu_sdk::features::indicators {
namespace {

using platform::make_local;
using strategy::Bar;

Bar bar_at(int minute, double close, double spread = 1.0) {
  return Bar{"VN30F1M",      make_local(2024, 3, 4, 9, minute),
             close - 0.2,    close + spread,
             close - spread, close,
             100.0 + minute};
}

std::vector<Bar> reference_bars() {
  std::vector<Bar> out;
  for (const auto& o : ta::testing::reference().bars) {
    out.push_back(Bar{"X", *o.time, o.open, o.high, o.low, o.close, o.volume});
  }
  return out;
}

TEST(Smart, ValueIndicatorTakesTheCloseOfBarsAndCandlesAndPlainNumbers) {
  SMA sma(2);
  sma.add(bar_at(0, 10.0));
  sma.add(types::Candle{1709542860000, 1.0, 30.0, 0.5, 20.0, 7.0});
  EXPECT_DOUBLE_EQ(*sma.value(), 15.0);
  sma.add(40.0);
  EXPECT_DOUBLE_EQ(*sma.value(), 30.0);
  sma.update(bar_at(3, 60.0));  // updates convert the same way
  EXPECT_DOUBLE_EQ(*sma.value(), 40.0);
  EXPECT_FALSE(SMA::is_ohlcv_native());
  EXPECT_EQ(sma._resampler, nullptr);
}

TEST(Smart, OhlcvIndicatorTakesTheBarsThemselves) {
  ATR atr(2, IndicatorOptions{.input_sampling = SamplingPeriodType::MIN_5});
  EXPECT_TRUE(ATR::is_ohlcv_native());
  EXPECT_EQ(atr._resampler, nullptr);  // the library samples OHLCV itself
  EXPECT_EQ(atr.input_sampling(), SamplingPeriodType::MIN_5);
  for (int m = 0; m < 10; ++m) atr.add(bar_at(m, 100.0 + m));
  ASSERT_EQ(atr.input_values().size(), 2u);  // one bar per 5 minutes, the newest of each
  EXPECT_EQ(atr.input_values().back().close, 109.0);
  EXPECT_EQ(atr.input_values().back().time, make_local(2024, 3, 4, 9, 9));
  // A candle becomes a bar with its local time.
  ATR plain(1);
  plain.add(types::Candle{1709542860000, 1.0, 3.0, 0.5, 2.0, 7.0});
  EXPECT_EQ(plain.input_values().back().time, make_local(2024, 3, 4, 9, 1));
  EXPECT_DOUBLE_EQ(*plain.value(), 2.5);
  // An OHLCV indicator cannot take a number: the library says so.
  EXPECT_THROW(plain.add(5.0), TypeError);
}

TEST(Smart, AoTakesBarsThoughTheOriginalListMissedIt) {
  EXPECT_TRUE(is_ohlcv_indicator("AO"));
  AO smart(2, 3);
  ta::AO library(2, 3);
  for (int m = 0; m < 8; ++m) {
    smart.add(bar_at(m, 100.0 + m * m % 5, 1.0 + m % 3));
    library.add(to_ohlcv(bar_at(m, 100.0 + m * m % 5, 1.0 + m % 3)));
  }
  ASSERT_TRUE(library.value());
  EXPECT_EQ(smart.value(), library.value());
}

TEST(Smart, ResampledValueIndicatorComputesOnTheNewestCloseOfEachPeriod) {
  SMA sma(2, IndicatorOptions{.input_sampling = SamplingPeriodType::MIN_5});
  ASSERT_NE(sma._resampler, nullptr);
  EXPECT_EQ(sma.input_indicator(), sma._resampler.get());
  EXPECT_FALSE(sma.input_sampling());  // the resampler samples, not the SMA
  EXPECT_EQ(sma._resampler->input_sampling(), SamplingPeriodType::MIN_5);
  for (int m = 0; m < 12; ++m) sma.add(bar_at(m, 100.0 + m));
  // Periods 9:00, 9:05, 9:10 with newest closes 104, 109, 111.
  ASSERT_EQ(sma.size(), 3u);
  EXPECT_FALSE(sma[0]);
  EXPECT_DOUBLE_EQ(*sma[1], (104.0 + 109.0) / 2);
  EXPECT_DOUBLE_EQ(*sma[2], (109.0 + 111.0) / 2);
  EXPECT_FALSE(sma._is_feeding);
}

TEST(Smart, CallersModifierIsKeptAndCallersInputIndicatorReplaced) {
  SMA other(1);
  SMA highs(1, IndicatorOptions{.input_indicator = &other,
                                .input_modifier = [](const Value& v) -> Value {
                                  return std::get<OHLCV>(v).high;
                                },
                                .input_sampling = SamplingPeriodType::MIN_1});
  EXPECT_EQ(highs.input_indicator(), highs._resampler.get());
  highs.add(bar_at(0, 50.0, 2.0));
  EXPECT_DOUBLE_EQ(*highs.value(), 52.0);
  other.add(1.0);  // the caller's input indicator no longer feeds it
  EXPECT_EQ(highs.size(), 1u);
}

TEST(Smart, FailureInTheResamplerPathClearsTheFeedingFlag) {
  SMA sma(1, IndicatorOptions{.input_sampling = SamplingPeriodType::MIN_1});
  EXPECT_THROW(sma.add(5.0), TypeError);  // the resampler takes bars only
  EXPECT_FALSE(sma._is_feeding);
  EXPECT_THROW(sma.add(OHLCV{1, 2, 0, 1, 5}), ValueError);  // a bar without a time
  EXPECT_FALSE(sma._is_feeding);
  sma.add(bar_at(0, 7.0));  // a later add is an ordinary one
  EXPECT_DOUBLE_EQ(*sma.value(), 7.0);
  EXPECT_EQ(sma._resampler->size(), 1u);
}

TEST(Smart, RemovalOnAResampledIndicatorTakesTheSampleAway) {
  SMA sma(1, IndicatorOptions{.input_sampling = SamplingPeriodType::MIN_5});
  sma.add(bar_at(0, 10.0));
  sma.add(bar_at(5, 20.0));
  sma.remove();
  ASSERT_EQ(sma.size(), 1u);
  EXPECT_DOUBLE_EQ(*sma[0], 10.0);
  EXPECT_EQ(sma._resampler->size(), 1u);
  // 9:06 starts a period of its own: it does not fold into the removed 9:05 bar.
  sma.add(bar_at(6, 21.0));
  ASSERT_EQ(sma.size(), 2u);
  EXPECT_DOUBLE_EQ(*sma[0], 10.0);
  EXPECT_DOUBLE_EQ(*sma[1], 21.0);
  sma.remove_all();
  EXPECT_TRUE(sma.empty());
  EXPECT_TRUE(sma._resampler->empty());
  EXPECT_FALSE(sma._is_feeding);
}

TEST(Smart, UpdatesTakeWhatAddTakes) {
  // Built by name: the dynamic update converts a bar as the dynamic add does.
  auto by_name = create("SMA", {2.0});
  by_name->add_value(to_ohlcv(bar_at(0, 10.0)));
  by_name->add_value(to_ohlcv(bar_at(1, 20.0)));
  by_name->update_value(to_ohlcv(bar_at(1, 30.0)));
  EXPECT_EQ(std::get<double>(by_name->output_value(-1)), 20.0);

  // Resampled: the update replaces the newest sample, as a bar.
  SMA sma(2, IndicatorOptions{.input_sampling = SamplingPeriodType::MIN_5});
  sma.add(bar_at(0, 10.0));
  sma.add(bar_at(5, 20.0));
  sma.update(bar_at(6, 40.0));
  ASSERT_EQ(sma.size(), 2u);
  EXPECT_DOUBLE_EQ(*sma.value(), 25.0);
  EXPECT_EQ(sma._resampler->input_values().back().close, 40.0);
  sma.add(bar_at(7, 30.0));  // same period as the updated sample: folds into it
  EXPECT_EQ(sma.size(), 2u);
  EXPECT_DOUBLE_EQ(*sma.value(), 20.0);
  // A number cannot be sampled; the refusal changes nothing.
  EXPECT_THROW(sma.update(5.0), TypeError);
  EXPECT_FALSE(sma._is_feeding);
  EXPECT_DOUBLE_EQ(*sma.value(), 20.0);
}

// For every indicator, sampled or not: any sequence of add, update and remove gives the
// outputs of a fresh indicator fed the final series. With sampling, the final series is the
// samples: a bar of the newest sample's period replaces it, remove() drops the newest sample.
TEST(Smart, AnyEditSequenceGivesTheOutputsOfAFreshRunOnTheFinalSeries) {
  const auto& ref = ta::testing::reference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  std::mt19937 rng(20240304);
  for (const auto& entry : ref.cases) {
    const auto& c = entry.as_object();
    const std::string name(c.at("indicator").as_string());
    const auto params = ta::testing::params_of(c);
    for (const bool sampled : {false, true}) {
      IndicatorOptions options;
      if (sampled) options.input_sampling = SamplingPeriodType::MIN_5;
      const std::string what = name + (sampled ? " sampled" : "");
      auto edited = create(name, {}, params, options);
      std::vector<OHLCV> series;
      platform::LocalDateTime time = platform::make_local(2024, 3, 4, 9, 0);
      double close = 100.0;
      const auto next_bar = [&](platform::LocalDateTime t) {
        const double open = close;
        close = std::max(1.0, close + std::uniform_real_distribution<>(-2.0, 2.0)(rng));
        const double spread = std::uniform_real_distribution<>(0.0, 1.5)(rng);
        return OHLCV{open,
                     std::max(open, close) + spread,
                     std::min(open, close) - spread,
                     close,
                     std::floor(std::uniform_real_distribution<>(100.0, 5000.0)(rng)),
                     t};
      };
      const auto same_period = [](const OHLCV& a, const OHLCV& b) {
        return ta::period_start(SamplingPeriodType::MIN_5, *a.time) ==
               ta::period_start(SamplingPeriodType::MIN_5, *b.time);
      };
      for (int step = 0; step < 400; ++step) {
        const int dice = std::uniform_int_distribution<>(0, 9)(rng);
        if (dice < 6 || series.empty()) {
          time += std::chrono::minutes(std::uniform_int_distribution<>(1, 3)(rng));
          const OHLCV bar = next_bar(time);
          edited->add_value(bar);
          if (sampled && !series.empty() && same_period(series.back(), bar)) {
            series.back() = bar;
          } else {
            series.push_back(bar);
          }
        } else if (dice < 8) {
          const OHLCV bar = next_bar(*series.back().time);  // the newest bar, revised
          edited->update_value(bar);
          series.back() = bar;
        } else {
          edited->remove();
          series.pop_back();
          time = series.empty() ? time : *series.back().time;
        }
        if (step % 100 == 99 || step == 399) {
          auto fresh = create(name, {}, params, options);
          for (const OHLCV& bar : series) fresh->add_value(bar);
          const std::string errors = ta::testing::compare_indicators(
              fmt::format("{} after {} steps", what, step + 1), *edited, *fresh);
          ASSERT_TRUE(errors.empty()) << errors;
        }
      }
    }
  }
}

TEST(Smart, ExportListIsTheSmartNamesAscendingThenSamplingPeriodType) {
  const auto& names = export_list();
  ASSERT_EQ(names.size(), 61u);
  EXPECT_EQ(names.back(), "SamplingPeriodType");
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end() - 1));
  EXPECT_TRUE(std::is_sorted(OHLCV_INDICATORS.begin(), OHLCV_INDICATORS.end()));
  EXPECT_EQ(std::count(names.begin(), names.end(), "FibonacciRetracement"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "Resampler"), 0);
  auto library = ta::Registry::instance().names();
  library.push_back("FibonacciRetracement");
  std::sort(library.begin(), library.end());
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.end() - 1), library);
  for (std::string_view n : OHLCV_INDICATORS) {
    EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
  }
  EXPECT_EQ(SMA::name(), "SMA");
  EXPECT_EQ(FibonacciRetracement::calculate(0.5, 10.0), 15.0);
}

// Every smart class built by name: its name, its kind of input (the set of OHLCV names must
// agree with what each indicator takes), and the same values as the library on the vectors.
TEST(Smart, FactoryBuildsEverySmartIndicatorByName) {
  const auto& ref = ta::testing::reference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  const auto bars = reference_bars();
  for (const auto& entry : ref.cases) {
    const auto& c = entry.as_object();
    const std::string name(c.at("indicator").as_string());
    auto smart = create(name, {}, ta::testing::params_of(c));
    auto library = ta::create_indicator(name, {}, ta::testing::params_of(c));
    const auto* state = smart_state(*smart);
    ASSERT_NE(state, nullptr) << name;
    EXPECT_EQ(state->smart_name(), name);
    EXPECT_EQ(smart_state(*library), nullptr);
    EXPECT_EQ(is_ohlcv_indicator(name), library->input_kind() == ta::InputKind::OHLCV) << name;
    auto* typed = dynamic_cast<ta::IndicatorBase*>(smart.get());
    for (std::size_t i = 0; i < bars.size(); ++i) {
      typed->add_value(to_ohlcv(bars[i]));  // a bar, whatever the indicator takes
      library->add_value(library->input_kind() == ta::InputKind::OHLCV ? Value(to_ohlcv(bars[i]))
                                                                       : Value(bars[i].close));
    }
    const std::string errors = ta::testing::compare_indicators(name, *smart, *library);
    EXPECT_TRUE(errors.empty()) << errors;
  }
  EXPECT_THROW(create("FibonacciRetracement"), ValueError);
  EXPECT_THROW(create("Nope"), ValueError);
  EXPECT_THROW(create("SMA", {1.0, 2.0}), TypeError);
}

// The vectors' operations that feed bars to a resampled value indicator, through this layer.
TEST(Smart, ResamplerPathMatchesTheReferenceOperations) {
  const auto& ref = ta::testing::reference();
  ASSERT_TRUE(ref.error.empty()) << ref.error;
  const auto bars = reference_bars();
  int run = 0;
  for (const auto& entry : ref.operations) {
    const auto& op = entry.as_object();
    if (op.at("input").as_string() != "bar") continue;
    const auto period =
        ta::sampling_period_from_name(std::string(op.at("input_sampling").as_string()));
    ASSERT_TRUE(period);
    const std::string name(op.at("indicator").as_string());
    auto ind = create(name, {}, ta::testing::params_of(op), {.input_sampling = period});
    ASSERT_NE(smart_state(*ind)->_resampler, nullptr);
    for (const Bar& b : bars) ind->add_value(to_ohlcv(b));
    const std::string errors =
        ta::testing::compare_outputs(name + " resampled", *ind, op.at("outputs").as_array());
    EXPECT_TRUE(errors.empty()) << errors;
    ++run;
  }
  EXPECT_GT(run, 0) << "the vectors have no resampler operation";
}

}  // namespace
}  // namespace tolbu_sdk::features::indicators

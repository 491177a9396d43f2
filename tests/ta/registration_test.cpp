// Every indicator of the family keeps its outputs consistent under update, remove, a bounded
// history and degenerate bars, built by name as a strategy would build it.

#include <gtest/gtest.h>

#include "family_helpers.hpp"
#include "tolbu_sdk/ta/averages/alma.hpp"
#include "tolbu_sdk/ta/registry.hpp"
#include "tolbu_sdk/ta/trend/super_trend.hpp"
#include "tolbu_sdk/ta/volatility/bb.hpp"
#include "tolbu_sdk/ta/volatility/chande_kroll_stop.hpp"
#include "tolbu_sdk/ta/volatility/keltner_channels.hpp"
#include "tolbu_sdk/ta/volatility/ttm.hpp"

namespace tolbu_sdk::ta::testing {
namespace {

struct IndicatorCase {
  const char* name;
  std::vector<ParamValue> params;
};

std::vector<IndicatorCase> family() {
  return {
      {"AO", {5.0, 34.0}},
      {"Aroon", {25.0}},
      {"BOP", {}},
      {"CCI", {20.0}},
      {"CoppockCurve", {11.0, 14.0, 10.0}},
      {"DPO", {20.0}},
      {"IBS", {}},
      {"Ichimoku", {26.0, 9.0, 26.0, 52.0, 26.0}},
      {"KST", {10.0, 10.0, 15.0, 10.0, 20.0, 10.0, 30.0, 15.0, 9.0}},
      {"MACD", {12.0, 26.0, 9.0}},
      {"ParabolicSAR", {0.02, 0.02, 0.2}},
      {"PivotsHL", {5.0, 5.0}},
      {"ROC", {12.0}},
      {"RSI", {14.0}},
      {"STC", {23.0, 50.0, 10.0, 3.0}},
      {"Stoch", {14.0, 3.0}},
      {"StochRSI", {14.0, 14.0, 3.0, 3.0}},
      {"TSI", {13.0, 25.0}},
      {"UO", {7.0, 14.0, 28.0}},
      {"VTX", {14.0}},
      {"Williams", {14.0}},
      {"ZigZag", {0.02, 3.0}},
  };
}

std::unique_ptr<IndicatorBase> make(const IndicatorCase& s, const IndicatorOptions& o = {}) {
  return create_indicator(s.name, s.params, {}, o);
}

void feed(IndicatorBase& ind, const std::vector<OHLCV>& bars, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) ind.add_value(input_for(ind, bars[i]));
}

class Family : public ::testing::TestWithParam<IndicatorCase> {};

// update() and remove() leave the indicator as if the replaced or removed inputs had never
// come: the state inside (windows, averages, pivots) is restored, not just the outputs.
TEST_P(Family, UpdateAndRemoveRestoreTheState) {
  const auto bars = random_bars(400);
  auto edited = make(GetParam());
  feed(*edited, bars, 0, 200);
  edited->update_value(input_for(*edited, bars[390]));
  edited->update_value(input_for(*edited, bars[391]));
  edited->remove();
  edited->remove();
  for (int k = 0; k < 40; ++k) edited->remove();
  feed(*edited, bars, 158, 160);
  edited->update_value(input_for(*edited, bars[199]));  // replaces bar 159
  feed(*edited, bars, 200, 400);

  auto fresh = make(GetParam());
  feed(*fresh, bars, 0, 159);
  fresh->add_value(input_for(*fresh, bars[199]));
  feed(*fresh, bars, 200, 400);
  EXPECT_TRUE(same_outputs(*edited, *fresh));
}

TEST_P(Family, RemoveAllStartsAfresh) {
  const auto bars = random_bars(300, 11);
  auto ind = make(GetParam());
  feed(*ind, bars, 0, 300);
  ind->remove_all();
  EXPECT_EQ(ind->size(), 0u);
  feed(*ind, bars, 100, 300);
  auto fresh = make(GetParam());
  feed(*fresh, bars, 100, 300);
  EXPECT_TRUE(same_outputs(*ind, *fresh));
}

// A bounded history keeps the indicator small and its newest values right, and a few removals
// still work within it.
TEST_P(Family, BoundedHistoryKeepsTheNewestValues) {
  const auto bars = random_bars(1500, 3);
  auto bounded = make(GetParam(), IndicatorOptions{.max_history = 80});
  auto full = make(GetParam());
  for (int round = 0; round < 2; ++round) {
    feed(*bounded, bars, 0, 1500);
    feed(*full, bars, 0, 1500);
    for (int k = 0; k < 5; ++k) {
      bounded->remove();
      full->remove();
    }
    feed(*bounded, bars, 700, 720);
    feed(*full, bars, 700, 720);
  }
  ASSERT_GT(bounded->size(), 0u);
  EXPECT_LE(bounded->size(), 80u);
  for (std::size_t k = 1; k <= bounded->size(); ++k) {
    const auto i = -static_cast<std::ptrdiff_t>(k);
    ASSERT_TRUE(near(bounded->output_value(i), full->output_value(i)))
        << k << " from the newest: " << show(bounded->output_value(i)) << ", want "
        << show(full->output_value(i));
  }
}

// Flat bars, zero volume and zero prices give no NaN or infinity and no crash.
TEST_P(Family, DegenerateBarsGiveFiniteValues) {
  auto ind = make(GetParam());
  for (int i = 0; i < 120; ++i) ind->add_value(input_for(*ind, flat_bar(50.0)));
  const auto bars = random_bars(200, 5);
  feed(*ind, bars, 0, 200);
  for (int i = 0; i < 80; ++i) ind->add_value(input_for(*ind, flat_bar(bars.back().close)));
  for (int i = 0; i < 60; ++i) ind->add_value(input_for(*ind, flat_bar(0.0)));
  feed(*ind, bars, 0, 100);
  for (std::size_t i = 0; i < ind->size(); ++i) {
    const Value v = ind->output_value(static_cast<std::ptrdiff_t>(i));
    ASSERT_TRUE(finite(v)) << "at " << i << ": " << show(v);
  }
}

// A chained indicator computes on the source's outputs, its warm-up included.
class ValueFamily : public ::testing::TestWithParam<IndicatorCase> {};

TEST_P(ValueFamily, ChainedOnASourceMatchesItsValues) {
  const auto bars = random_bars(300, 9);
  auto source = create_indicator("SMA", {4.0});
  auto chained = make(GetParam(), IndicatorOptions{.input_indicator = source.get()});
  auto direct = make(GetParam());
  for (const OHLCV& b : bars) {
    source->add_value(b.close);
    direct->add_value(source->output_value(-1));
  }
  source->remove();
  direct->remove();
  EXPECT_TRUE(same_outputs(*chained, *direct));
}

std::vector<IndicatorCase> value_family() {
  std::vector<IndicatorCase> out;
  for (const IndicatorCase& s : family()) {
    if (make(s)->input_kind() == InputKind::NUMBER) out.push_back(s);
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Momentum, Family, ::testing::ValuesIn(family()),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Momentum, ValueFamily, ::testing::ValuesIn(value_family()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Registration, EveryParameterIsNamedAsInTheCatalogue) {
  const std::vector<std::pair<const char*, std::vector<NamedParam>>> named = {
      {"AO", {{"fast_period", 5.0}, {"slow_period", 34.0}, {"ma_type", std::string("EMA")}}},
      {"DPO", {{"period", 20.0}, {"ma_type", std::string("EMA")}}},
      {"KST",
       {{"roc1_period", 1.0},
        {"roc1_ma_period", 1.0},
        {"roc2_period", 2.0},
        {"roc2_ma_period", 1.0},
        {"roc3_period", 3.0},
        {"roc3_ma_period", 1.0},
        {"roc4_period", 4.0},
        {"roc4_ma_period", 1.0},
        {"signal_period", 2.0},
        {"ma_type", std::string("EMA")}}},
      {"MACD",
       {{"fast_period", 3.0},
        {"slow_period", 6.0},
        {"signal_period", 2.0},
        {"ma_type", std::string("SMA")}}},
      {"STC",
       {{"fast_macd_period", 3.0},
        {"slow_macd_period", 6.0},
        {"stoch_period", 3.0},
        {"stoch_smoothing_period", 2.0},
        {"stoch_ma_type", std::string("EMA")}}},
      {"Stoch", {{"period", 5.0}, {"smoothing_period", 3.0}, {"ma_type", std::string("EMA")}}},
      {"StochRSI",
       {{"rsi_period", 5.0},
        {"stoch_period", 5.0},
        {"k_smoothing_period", 3.0},
        {"d_smoothing_period", 3.0},
        {"ma_type", std::string("EMA")}}},
      {"TSI", {{"fast_period", 3.0}, {"slow_period", 5.0}, {"ma_type", std::string("SMA")}}},
      {"ParabolicSAR",
       {{"init_accel_factor", 0.02}, {"accel_factor_inc", 0.02}, {"max_accel_factor", 0.2}}},
      {"ZigZag", {{"sensitivity", 0.05}, {"min_trend_length", 2.0}}},
      {"PivotsHL", {{"high_period", 3.0}, {"low_period", 4.0}}},
  };
  for (const auto& [name, params] : named) {
    EXPECT_NO_THROW(create_indicator(name, {}, params)) << name;
  }
}

TEST(Registration, BadParametersAreValueErrors) {
  EXPECT_THROW(create_indicator("RSI", {0.0}), ValueError);
  EXPECT_THROW(create_indicator("Stoch", {14.0, 0.0}), ValueError);
  EXPECT_THROW(create_indicator("Ichimoku", {26.0, 9.0, 26.0, 52.0, 0.0}), ValueError);
  EXPECT_THROW(create_indicator("ParabolicSAR", {0.0, 0.02, 0.2}), ValueError);
  EXPECT_THROW(create_indicator("ParabolicSAR", {0.02, -0.01, 0.2}), ValueError);
  EXPECT_THROW(create_indicator("ParabolicSAR", {0.3, 0.02, 0.2}), ValueError);
  EXPECT_THROW(create_indicator("ZigZag", {0.0, 3.0}), ValueError);
  EXPECT_THROW(create_indicator("ZigZag", {0.02, 0.0}), ValueError);
  EXPECT_THROW(create_indicator("MACD", {12.0, 26.0, 9.0}, {{"ma_type", std::string("XMA")}}),
               ValueError);
}

// A NaN or infinite setting would make every value NaN: refused at construction, by name too.
TEST(Registration, NonFiniteSettingsAreValueErrors) {
  const double bad[] = {std::nan(""), INFINITY};
  for (const double x : bad) {
    SCOPED_TRACE(x);
    EXPECT_THROW(ALMA(9, x, 6.0), ValueError);
    EXPECT_THROW(BB(20, x), ValueError);
    EXPECT_THROW(KeltnerChannels(20, 10, x, 2.0), ValueError);
    EXPECT_THROW(KeltnerChannels(20, 10, 2.0, x), ValueError);
    EXPECT_THROW(ChandeKrollStop(10, x, 20), ValueError);
    EXPECT_THROW(TTM(20, x, 1.5), ValueError);
    EXPECT_THROW(TTM(20, 2.0, x), ValueError);
    EXPECT_THROW(SuperTrend(10, x), ValueError);
    EXPECT_THROW(create_indicator("SMA", {x}), ValueError);
    EXPECT_THROW(create_indicator("BB", {20.0}, {{"std_dev_mult", x}}), ValueError);
  }
}

}  // namespace
}  // namespace tolbu_sdk::ta::testing

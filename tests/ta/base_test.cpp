// The base indicator's behaviour, through SMA and EMA and a small OHLCV indicator.

#include <gtest/gtest.h>

#include <vector>

#include "family_helpers.hpp"
#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/ta/averages/ema.hpp"
#include "tolbu_sdk/ta/averages/sma.hpp"
#include "tolbu_sdk/ta/indicator.hpp"
#include "tolbu_sdk/ta/volatility/rogers_satchell.hpp"

namespace tolbu_sdk::ta {
namespace {

using testing::closes;

template <class I>
std::vector<std::optional<double>> outputs(const I& ind) {
  return {ind.output_values().begin(), ind.output_values().end()};
}

// Newest high minus the low of the previous input: reads its own history.
struct Span : Indicator<OHLCV, double> {
  explicit Span(const IndicatorOptions& o = {}) : Indicator(o) { _keep_history(2); }
  std::optional<double> _calculate_new_value() override {
    if (input_count() < 2) return std::nullopt;
    return input_values().back().high - input_values().back(1).low;
  }
};

TEST(Indicator, UpdateAndRemoveEqualAFreshRun) {
  const auto xs = closes(40);
  EMA ema(5);
  SMA sma(5);
  for (int i = 0; i < 30; ++i) {
    ema.add(xs[i]);
    sma.add(xs[i]);
  }
  ema.update(1000.0);  // replaced, not added
  sma.update(1000.0);
  ema.update(xs[30]);
  sma.update(xs[30]);
  ema.remove();
  sma.remove();
  ema.add(xs[29]);
  sma.add(xs[29]);
  for (int i = 30; i < 40; ++i) {
    ema.add(xs[i]);
    sma.add(xs[i]);
  }
  EMA ema2(5);
  SMA sma2(5);
  ema2.add(xs);
  sma2.add(xs);
  ASSERT_EQ(ema.size(), 40u);
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(ema[i].has_value(), ema2[i].has_value()) << i;
    if (ema[i]) {
      EXPECT_NEAR(*ema[i], *ema2[i], 1e-9) << i;
      EXPECT_NEAR(*sma[i], *sma2[i], 1e-9) << i;
    }
  }
  // Removing back into the warm-up brings the absent outputs back.
  for (int i = 0; i < 37; ++i) sma.remove();
  EXPECT_EQ(sma.size(), 3u);
  EXPECT_FALSE(sma.value());
  sma.add({1.0, 2.0});
  EXPECT_NEAR(*sma.value(), (xs[0] + xs[1] + xs[2] + 1.0 + 2.0) / 5, 1e-12);
  sma.remove_all();
  EXPECT_TRUE(sma.empty());
  sma.remove();  // nothing to remove: no effect
  EXPECT_THROW(sma.update(1.0), ValueError);
}

TEST(Indicator, NegativeIndexingAndInputValues) {
  SMA sma(2);
  sma.add({1.0, 2.0, 4.0});
  EXPECT_FALSE(sma[0]);
  EXPECT_DOUBLE_EQ(*sma[-1], 3.0);
  EXPECT_DOUBLE_EQ(*sma[-2], 1.5);
  EXPECT_THROW(sma[3], std::out_of_range);
  EXPECT_DOUBLE_EQ(sma.input_values()[-1], 4.0);
  EXPECT_EQ(std::get<double>(sma.output_value(-1)), 3.0);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(sma.output_value(0)));
}

TEST(Indicator, ChainedIndicatorFollowsAddsUpdatesRemovesAndClears) {
  const auto xs = closes(30);
  SMA sma(3);
  EMA ema(4, {.input_indicator = &sma});
  for (double x : xs) sma.add(x);
  sma.update(200.0);
  sma.remove();
  sma.add(xs.back());

  SMA ref_sma(3);
  ref_sma.add(xs);
  EMA ref(4);
  for (const auto& v : ref_sma.output_values()) ref.add(v);  // absent values stay absent
  ASSERT_EQ(ema.size(), xs.size());
  EXPECT_EQ(ema.input_values().size(), xs.size() - 2);  // absent inputs are not held
  for (std::size_t i = 0; i < xs.size(); ++i) {
    const auto i2 = static_cast<std::ptrdiff_t>(i);
    ASSERT_EQ(ema[i2].has_value(), ref[i2].has_value()) << i;
    if (ema[i2]) {
      EXPECT_NEAR(*ema[i2], *ref[i2], 1e-12);
    }
  }
  EXPECT_FALSE(ema[2 + 2]);  // needs 4 present inputs: first value at 5
  EXPECT_TRUE(ema[5]);
  sma.remove_all();
  EXPECT_TRUE(ema.empty());
}

TEST(Indicator, ChainingOntoAFilledIndicatorTakesItsOutputsIn) {
  SMA sma(2);
  sma.add({1.0, 3.0, 5.0});
  SMA late(2, {.input_indicator = &sma});
  EXPECT_EQ(late.size(), 3u);
  EXPECT_DOUBLE_EQ(*late.value(), 3.0);
  sma.add(7.0);
  EXPECT_EQ(late.size(), 4u);
  EXPECT_DOUBLE_EQ(*late.value(), 5.0);
}

TEST(Indicator, DestroyingEitherEndOfAChainCutsTheLink) {
  auto src = std::make_unique<SMA>(1);
  auto dep = std::make_unique<SMA>(1, IndicatorOptions{.input_indicator = src.get()});
  src->add(1.0);
  dep.reset();
  src->add(2.0);  // no dangling dependent
  auto dep2 = std::make_unique<SMA>(1, IndicatorOptions{.input_indicator = src.get()});
  src.reset();
  EXPECT_EQ(dep2->input_indicator(), nullptr);
  dep2->add(5.0);
  EXPECT_DOUBLE_EQ(*dep2->value(), 5.0);
}

TEST(Indicator, InputModifierAppliesToEveryInput) {
  SMA sma(2, {.input_modifier = [](const Value& v) -> Value { return std::get<double>(v) * 10; }});
  sma.add({1.0, 2.0});
  EXPECT_DOUBLE_EQ(*sma.value(), 15.0);
  sma.update(3.0);
  EXPECT_DOUBLE_EQ(*sma.value(), 20.0);
  // A number indicator cannot take bars without a modifier that picks a number.
  SMA plain(2);
  EXPECT_THROW(plain.add_value(OHLCV{1, 2, 0, 1, 5}), TypeError);
  EXPECT_TRUE(plain.empty());
}

TEST(Indicator, SamplingFoldsInputsOfOnePeriod) {
  using platform::make_local;
  Span span({.input_sampling = SamplingPeriodType::MIN_5});
  const auto bar = [](int minute, double high, double low) {
    return OHLCV{low, high, low, low, 1.0, make_local(2024, 3, 4, 9, minute)};
  };
  span.add(bar(0, 10, 5));
  span.add(bar(4, 11, 6));  // same period: replaces
  EXPECT_EQ(span.size(), 1u);
  EXPECT_EQ(span.input_values().back().high, 11);
  span.add(bar(5, 20, 15));
  span.add(bar(9, 21, 16));
  ASSERT_EQ(span.size(), 2u);
  EXPECT_DOUBLE_EQ(*span.value(), 21 - 6);
  // Sampling needs a time, and a number indicator cannot sample at all.
  EXPECT_THROW(span.add(OHLCV{1, 2, 0, 1, 5}), ValueError);
  EXPECT_THROW(SMA(3, {.input_sampling = SamplingPeriodType::MIN_1}), ValueError);
}

TEST(Indicator, BoundedHistoryKeepsComputingAndRefusesToRemoveIntoTheLoss) {
  const auto xs = closes(500);
  EMA bounded(20, {.max_history = 25});
  EMA full(20);
  bounded.add(xs);
  full.add(xs);
  EXPECT_EQ(bounded.size(), 25u);
  EXPECT_EQ(bounded.input_count(), 500u);
  EXPECT_NEAR(*bounded.value(), *full.value(), 1e-9);
  for (int i = 0; i < 4; ++i) bounded.remove();
  EXPECT_NEAR(*bounded.value(), *full[-5], 1e-9);
  // What is left is what the seed needs: a further removal cannot be computed back.
  bounded.remove();
  EXPECT_THROW(bounded.remove(), ValueError);
  bounded.purge_oldest(100);  // purging keeps what the computation needs
  bounded.add(xs[495]);
  EXPECT_NEAR(*bounded.value(), *full[-5], 1e-9);

  SMA sma(3);
  sma.add(xs);
  sma.purge_oldest(490);
  EXPECT_EQ(sma.size(), 10u);
  EXPECT_NEAR(*sma.value(), (xs[497] + xs[498] + xs[499]) / 3, 1e-12);
}

// A bar the computation refuses (no logarithm of a negative price) once dropped the oldest
// input of a full bounded history: two removals then emptied the inputs under two outputs.
TEST(Indicator, RefusedInputLeavesAFullBoundedHistoryAsItWas) {
  RogersSatchell bounded(1, {.max_history = 1});
  const OHLCV first{10, 12, 9, 11, 100, std::nullopt};
  const OHLCV second{11, 13, 10, 12, 100, std::nullopt};
  bounded.add(first);
  bounded.add(second);
  EXPECT_THROW(bounded.add(OHLCV{-1, 12, -2, 11, 100, std::nullopt}), ValueError);
  ASSERT_EQ(bounded.input_values().size(), 2u);
  EXPECT_EQ(bounded.input_values().front(), first);
  bounded.remove();
  bounded.remove();
  EXPECT_EQ(bounded.size(), 0u);
  bounded.add(second);
  RogersSatchell fresh(1);
  fresh.add(second);
  EXPECT_EQ(bounded.value(), fresh.value());
}

TEST(Indicator, RejectsBadPeriods) {
  EXPECT_THROW(SMA(0), ValueError);
  EXPECT_THROW(EMA(-3), ValueError);
}

}  // namespace
}  // namespace tolbu_sdk::ta

// The family's support blocks against the library pieces they stand in for.

#include <gtest/gtest.h>

#include "family_helpers.hpp"
#include "tolbu_sdk/ta/averages/sma.hpp"
#include "tolbu_sdk/ta/ma_type.hpp"
#include "tolbu_sdk/ta/support/momentum_average.hpp"
#include "tolbu_sdk/ta/support/momentum_stochastic.hpp"

namespace tolbu_sdk::ta::testing {
namespace {

// The in-place SMA and EMA give exactly what the indicators give, through absent values,
// undos and a bounded history; other kinds are the indicators themselves.
TEST(MomentumAverage, MatchesTheMovingAverageIndicators) {
  const auto bars = random_bars(600, 31);
  for (MAType type : {MAType::SMA, MAType::EMA, MAType::WMA, MAType::SMMA}) {
    SCOPED_TRACE(std::string(enum_name(type)));
    support::MomentumAverage average(type, 7);
    auto indicator = make_ma(type, 7);
    average.set_history_limit(50);
    indicator->set_max_history(50);
    for (std::size_t i = 0; i < bars.size(); ++i) {
      std::optional<double> x;
      if (i % 11 != 3) x = bars[i].close;
      indicator->add(x);
      ASSERT_EQ(average.push(x), indicator->value()) << i;
      if (i % 17 == 16) {
        for (int k = 0; k < 4; ++k) {
          average.undo();
          indicator->remove();
        }
        ASSERT_EQ(average.value(), indicator->value()) << i;
      }
    }
    average.reset();
    indicator->remove_all();
    EXPECT_EQ(average.push(1.0), std::nullopt);
  }
  EXPECT_THROW(support::MomentumAverage(MAType::VWMA, 5), ValueError);
  EXPECT_THROW(support::MomentumAverage(MAType::SMA, 0), ValueError);
}

// Past the point where the running sum is recomputed from the window (64 * period + 1024
// values), through undos across that point, the average still equals the SMA bit for bit.
TEST(MomentumAverage, LongRunsRecomputeTheSumLikeTheIndicator) {
  const auto bars = random_bars(4000, 5);
  for (int period : {1, 3}) {
    support::MomentumAverage average(MAType::SMA, period);
    SMA sma(period);
    average.set_history_limit(20);
    sma.set_max_history(20);
    for (std::size_t i = 0; i < bars.size(); ++i) {
      sma.add(bars[i].close);
      ASSERT_EQ(average.push(bars[i].close), sma.value()) << period << " " << i;
      if (i % 97 == 5) {
        average.undo();
        sma.remove();
        ASSERT_EQ(average.value(), sma.value()) << period << " " << i;
        sma.add(bars[i].close);
        ASSERT_EQ(average.push(bars[i].close), sma.value()) << period << " " << i;
      }
    }
  }
}

TEST(MomentumStochastic, PartialWindowsFlatWindowsAndUndo) {
  support::MomentumStochastic held(3, 3, std::nullopt);
  support::MomentumStochastic top(3, 1, 100.0);
  EXPECT_EQ(held.push(5.0), std::nullopt);
  EXPECT_EQ(top.push(5.0), 100.0);  // a window of one value has no range
  EXPECT_EQ(held.push(std::nullopt), std::nullopt);
  EXPECT_EQ(top.push(std::nullopt), std::nullopt);
  held.push(7.0);
  top.push(7.0);
  EXPECT_EQ(held.push(6.0), 50.0);  // 6 between 5 and 7
  EXPECT_EQ(top.push(6.0), 50.0);
  EXPECT_EQ(held.count(), 3u);
  EXPECT_EQ(held.push(7.0), 100.0);
  EXPECT_EQ(held.push(7.0), 100.0);
  EXPECT_EQ(held.push(7.0), 100.0);  // flat: the previous value holds
  EXPECT_EQ(held.push(7.0), 100.0);
  for (int i = 0; i < 4; ++i) held.undo();
  EXPECT_EQ(held.value(), 50.0);
  EXPECT_EQ(held.push(7.0), 100.0);  // 5 left the window: 6, 6, 7
  held.reset();
  EXPECT_EQ(held.count(), 0u);
}

}  // namespace
}  // namespace tolbu_sdk::ta::testing

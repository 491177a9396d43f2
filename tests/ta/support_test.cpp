// The support blocks against brute-force recomputation, through pushes and undos.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "tolbu_sdk/ta/support/ring_buffer.hpp"
#include "tolbu_sdk/ta/support/rolling_extremum.hpp"
#include "tolbu_sdk/ta/support/rolling_moments.hpp"
#include "tolbu_sdk/ta/support/rolling_range.hpp"
#include "tolbu_sdk/ta/support/rolling_sum.hpp"
#include "tolbu_sdk/ta/support/rolling_weighted_sum.hpp"

namespace tolbu_sdk::ta::support {
namespace {

TEST(RingBuffer, GrowsIndexesAndPops) {
  RingBuffer<int> b;
  for (int i = 0; i < 20; ++i) b.push_back(i);
  EXPECT_EQ(b.size(), 20u);
  EXPECT_EQ(b[0], 0);
  EXPECT_EQ(b[-1], 19);
  EXPECT_EQ(b.back(3), 16);
  EXPECT_THROW(b[20], std::out_of_range);
  EXPECT_THROW(b[-21], std::out_of_range);
  b.pop_front(5);
  b.pop_back();
  EXPECT_EQ(b.front(), 5);
  EXPECT_EQ(b.back(), 18);
  EXPECT_EQ(std::accumulate(b.begin(), b.end(), 0), (5 + 18) * 14 / 2);
}

TEST(RingBuffer, BoundedDropsOldestWithoutGrowing) {
  RingBuffer<int> b(5);  // capacity 8 > 5: the wrap must respect the bound, not the capacity
  for (int i = 0; i < 23; ++i) b.push_back(i);
  ASSERT_EQ(b.size(), 5u);
  for (int k = 0; k < 5; ++k) EXPECT_EQ(b.back(k), 22 - k);
  EXPECT_EQ(b.front(), 18);
  b.push_back(b.front());  // an argument that refers to an element being dropped
  EXPECT_EQ(b.back(), 18);
  EXPECT_EQ(b.front(), 19);
  b.set_max_size(2);
  EXPECT_EQ(b.size(), 2u);
  EXPECT_EQ(b.front(), 22);
}

// A random walk of pushes and undos, each state checked against the window recomputed.
template <class Check>
void random_walk(std::size_t period, Check check, std::size_t limit = 0) {
  std::mt19937 rng(42);
  std::normal_distribution<double> price(50000.0, 2.0);  // far from zero, small spread
  std::vector<double> all;
  for (int step = 0; step < 3000; ++step) {
    const bool undo = !all.empty() && rng() % 4 == 0 && (limit == 0 || all.size() > limit);
    if (undo) {
      all.pop_back();
    } else {
      all.push_back(std::round(price(rng) * 100) / 100);
    }
    check(undo, all);
  }
  (void)period;
}

std::vector<double> window(const std::vector<double>& all, std::size_t period) {
  const std::size_t n = std::min(period, all.size());
  return {all.end() - static_cast<std::ptrdiff_t>(n), all.end()};
}

TEST(RollingSum, MatchesWindowThroughUndos) {
  for (std::size_t period : {1u, 3u, 20u}) {
    RollingSum s(period);
    random_walk(period, [&](bool undo, const std::vector<double>& all) {
      undo ? s.undo() : s.push(all.back());
      const auto w = window(all, period);
      ASSERT_EQ(s.count(), w.size());
      ASSERT_EQ(s.full(), all.size() >= period);
      ASSERT_NEAR(s.sum(), std::accumulate(w.begin(), w.end(), 0.0), 1e-6);
    });
  }
}

TEST(RollingWeightedSum, MatchesWindowThroughUndosBitForBit) {
  for (std::size_t period : {1u, 4u, 20u}) {
    RollingWeightedSum s(period);
    std::vector<double> before;  // the weighted sum before each push
    random_walk(period, [&](bool undo, const std::vector<double>& all) {
      if (undo) {
        s.undo();
        ASSERT_EQ(s.weighted_sum(), before.back());  // restored exactly
        before.pop_back();
      } else {
        before.push_back(s.weighted_sum());
        s.push(all.back());
      }
      const auto w = window(all, period);
      double weighted = 0.0;
      for (std::size_t i = 0; i < w.size(); ++i) weighted += static_cast<double>(i + 1) * w[i];
      ASSERT_NEAR(s.weighted_sum(), weighted, 1e-9 * weighted + 1e-9);
      if (s.full()) {
        ASSERT_NEAR(s.mean(), weighted / (period * (period + 1) / 2.0), 1e-9 * weighted);
      }
    });
  }
}

TEST(RollingExtremum, MatchesWindowThroughUndosWithAges) {
  for (std::size_t period : {1u, 2u, 14u}) {
    RollingMax mx(period);
    RollingMin mn(period, Ties::Oldest);
    std::mt19937 rng(7);
    std::vector<double> all;
    for (int step = 0; step < 3000; ++step) {
      if (!all.empty() && rng() % 4 == 0) {
        all.pop_back();
        mx.undo();
        mn.undo();
      } else {
        all.push_back(static_cast<double>(rng() % 10));  // many ties
        mx.push(all.back());
        mn.push(all.back());
      }
      if (all.empty()) continue;
      const auto w = window(all, period);
      const auto hi = std::max_element(w.rbegin(), w.rend());  // newest among equals
      const auto lo = std::min_element(w.begin(), w.end());    // oldest among equals
      ASSERT_EQ(mx.value(), *hi);
      ASSERT_EQ(mx.age(), static_cast<std::size_t>(hi - w.rbegin()));
      ASSERT_EQ(mn.value(), *lo);
      ASSERT_EQ(mn.age(), static_cast<std::size_t>(w.end() - 1 - lo));
    }
  }
}

// Several windows share one queue per side: each keeps its own head through pops, expiries,
// undos (rebuilds) and a bounded history.
TEST(RollingRange, EveryWindowMatchesItsOwnThroughUndos) {
  for (std::size_t limit : {0u, 60u}) {
    RollingRange r({9, 2, 26, 1});
    r.set_history_limit(limit);
    const std::size_t periods[] = {9, 2, 26, 1};
    std::mt19937 rng(11);
    std::vector<double> highs;
    std::vector<double> lows;
    for (int step = 0; step < 4000; ++step) {
      if (highs.size() > 30 && rng() % 4 == 0) {
        const int k = 1 + static_cast<int>(rng() % 3);
        for (int i = 0; i < k; ++i) {
          highs.pop_back();
          lows.pop_back();
          r.undo();
        }
      } else {
        const double low = static_cast<double>(rng() % 20);  // many ties
        highs.push_back(low + static_cast<double>(rng() % 5));
        lows.push_back(low);
        r.push(highs.back(), lows.back());
      }
      ASSERT_EQ(r.count(), highs.size());
      for (std::size_t w = 0; w < 4; ++w) {
        ASSERT_EQ(r.full(w), highs.size() >= periods[w]);
        const auto h = window(highs, periods[w]);
        const auto l = window(lows, periods[w]);
        ASSERT_EQ(r.high(w), *std::max_element(h.begin(), h.end())) << step << " window " << w;
        ASSERT_EQ(r.low(w), *std::min_element(l.begin(), l.end())) << step << " window " << w;
      }
    }
  }
  EXPECT_THROW(RollingRange({1, 2, 3, 4, 5}), ValueError);
}

TEST(RollingMoments, KeepsPrecisionFarFromZero) {
  const std::size_t period = 20;
  RollingMoments m(period);
  random_walk(period, [&](bool undo, const std::vector<double>& all) {
    undo ? m.undo() : m.push(all.back());
    const auto w = window(all, period);
    const double n = static_cast<double>(w.size());
    const double mean = std::accumulate(w.begin(), w.end(), 0.0) / n;
    double ss = 0.0;
    for (double x : w) ss += (x - mean) * (x - mean);
    ASSERT_NEAR(m.mean(), mean, 1e-9 * mean);
    ASSERT_NEAR(m.variance(), ss / n, 1e-9 * (1.0 + ss / n));
    if (w.size() > 1) {
      ASSERT_NEAR(m.sample_variance(), ss / (n - 1), 1e-9 * (1.0 + ss / n));
    }
  });
}

TEST(RollingSum, BoundedHistoryUndoesAsManyPushesAsItsOwnerMay) {
  RollingSum s(3);
  s.set_history_limit(4);
  for (int i = 1; i <= 100; ++i) s.push(i);
  EXPECT_EQ(s.values().size(), 4u + 3u);
  for (int k = 0; k < 4; ++k) s.undo();  // window back to 94, 95, 96
  EXPECT_DOUBLE_EQ(s.sum(), 94 + 95 + 96);
  EXPECT_TRUE(s.full());
}

}  // namespace
}  // namespace tolbu_sdk::ta::support

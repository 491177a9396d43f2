// Backtest figures against cases worked out by hand, and their degenerate inputs.

#include <gtest/gtest.h>
#include <boost/json/value.hpp>

#include <cmath>
#include <limits>

#include "fixture.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/platform/json.hpp"

namespace {

using namespace backtest_test;
using tolbu_sdk::ValueError;
using tolbu_sdk::backtest::Metrics;

std::vector<ClosedPosition> trades_with(std::vector<double> pnls) {
  std::vector<ClosedPosition> out;
  for (double pnl : pnls) out.push_back(trade("t", PositionSide::LONG, 0, 100, 1, 100 + pnl, pnl));
  return out;
}

TEST(Metrics, HandComputedCase) {
  // Equity 100 -> 110 -> 99 -> 108.9 -> 119.79: per-bar returns +0.1, -0.1, +0.1, +0.1.
  //   mean = 0.2 / 4 = 0.05
  //   squared deviations 0.0025 + 0.0225 + 0.0025 + 0.0025 = 0.03; sample variance 0.03 / 3
  //   = 0.01; stddev 0.1; Sharpe = 0.05 / 0.1 = 0.5
  //   downside: (-0.1)^2 = 0.01 over 4 returns = 0.0025; deviation 0.05; Sortino = 1.0
  // Drawdown: peak 110 (bar 1) down to 99 (bar 2) = 11 money, 10 %; back above 110 at bar 4:
  //   3 bars, 180 s. Exposure: bars 1..3 of 5 = 60 %.
  // Trades +10, -11, +9.9, +10.89, 0: total 19.79, average 3.958, 3 wins, 1 loss, one
  // breakeven that counts as neither: 3 of 4 decided, 75 %.
  const auto m = Metrics::compute(trades_with({10, -11, 9.9, 10.89, 0}),
                                  curve({100, 110, 99, 108.9, 119.79}, "FTTTF"));
  EXPECT_EQ(m.trades, 5u);
  EXPECT_EQ(m.wins, 3u);
  EXPECT_EQ(m.losses, 1u);
  EXPECT_EQ(m.breakeven, 1u);
  EXPECT_DOUBLE_EQ(m.win_rate, 75.0);
  EXPECT_NEAR(m.total_pnl, 19.79, 1e-9);
  EXPECT_NEAR(m.average_trade, 3.958, 1e-9);
  EXPECT_DOUBLE_EQ(m.initial_equity, 100);
  EXPECT_DOUBLE_EQ(m.final_equity, 119.79);
  EXPECT_NEAR(m.return_percent, 19.79, 1e-9);
  EXPECT_NEAR(m.max_drawdown, 11.0, 1e-9);
  EXPECT_NEAR(m.max_drawdown_percent, 10.0, 1e-9);
  EXPECT_EQ(m.max_drawdown_duration_bars, 3u);
  EXPECT_DOUBLE_EQ(m.max_drawdown_duration_seconds, 180.0);
  EXPECT_NEAR(m.sharpe_ratio, 0.5, 1e-9);
  EXPECT_NEAR(m.sortino_ratio, 1.0, 1e-9);
  EXPECT_DOUBLE_EQ(m.exposure, 60.0);
  EXPECT_EQ(m.bars, 5u);
  EXPECT_FALSE(m.periods_per_year);

  // Annualised over 100 periods: both ratios times sqrt(100) = 10; nothing else moves.
  const auto a = Metrics::compute(trades_with({10, -11, 9.9, 10.89, 0}),
                                  curve({100, 110, 99, 108.9, 119.79}, "FTTTF"), 100.0);
  EXPECT_NEAR(a.sharpe_ratio, 5.0, 1e-9);
  EXPECT_NEAR(a.sortino_ratio, 10.0, 1e-9);
  EXPECT_EQ(a.max_drawdown, m.max_drawdown);
  EXPECT_EQ(a.periods_per_year, 100.0);
}

TEST(Metrics, DrawdownMoneyAndPercentAndUnrecoveredDuration) {
  // 10 -> 5 is the deepest fall in per cent (50 %), 100 -> 60 the deepest in money (40, 40 %);
  // equity never gets back to 100, so the duration runs from bar 2 to the last bar.
  const auto m = Metrics::compute({}, curve({10, 5, 100, 60, 70, 90}));
  EXPECT_DOUBLE_EQ(m.max_drawdown, 40);
  EXPECT_DOUBLE_EQ(m.max_drawdown_percent, 50);
  EXPECT_EQ(m.max_drawdown_duration_bars, 3u);
  EXPECT_DOUBLE_EQ(m.max_drawdown_duration_seconds, 180);

  // Equity falling through zero: percentages only against a positive peak, returns only on a
  // positive base (100 -> 0 is -100 %, then nothing), so one return and no ratio.
  const auto z = Metrics::compute({}, curve({100, 0, -50, 50}));
  EXPECT_DOUBLE_EQ(z.max_drawdown, 150);
  EXPECT_DOUBLE_EQ(z.max_drawdown_percent, 150);
  EXPECT_EQ(z.sharpe_ratio, 0);
  EXPECT_EQ(z.sortino_ratio, 0);
  EXPECT_EQ(z.return_percent, -50);
}

TEST(Metrics, DegenerateInputsGiveDefinedZeros) {
  const Metrics empty = Metrics::compute({}, {});
  Metrics nothing;
  nothing.annualisation = "Sharpe and Sortino are per bar (not annualised)";
  EXPECT_EQ(empty, nothing);
  EXPECT_EQ(tolbu_sdk::platform::to_json_text(empty.to_json()),
            R"({"trades": 0, "wins": 0, "losses": 0, "win_rate": 0.0, "total_pnl": 0.0, )"
            R"("average_trade": 0.0, "initial_equity": 0.0, "final_equity": 0.0, )"
            R"("return_percent": 0.0, "max_drawdown": 0.0, "max_drawdown_percent": 0.0, )"
            R"("max_drawdown_duration_seconds": 0.0, "max_drawdown_duration_bars": 0, )"
            R"("sharpe_ratio": 0.0, "sortino_ratio": 0.0, "exposure": 0.0, "bars": 0, )"
            R"("periods_per_year": null, "breakeven": 0, "net_pnl": 0.0, "gross_pnl": 0.0, )"
            R"("commission": 0.0, "slippage": 0.0, "ruined_at_bar": null, )"
            R"x("annualisation": "Sharpe and Sortino are per bar (not annualised)"})x");

  const auto one = Metrics::compute({}, curve({100}, "T"));
  EXPECT_EQ(one.bars, 1u);
  EXPECT_EQ(one.exposure, 100);
  EXPECT_EQ(one.sharpe_ratio, 0);
  EXPECT_EQ(one.max_drawdown_duration_bars, 0u);

  // Flat equity: every return is 0, so both dispersions are 0 and so are the ratios.
  const auto flat = Metrics::compute({}, curve({100, 100, 100, 100}), 252.0);
  EXPECT_EQ(flat.sharpe_ratio, 0);
  EXPECT_EQ(flat.sortino_ratio, 0);
  EXPECT_EQ(flat.max_drawdown, 0);
  EXPECT_EQ(flat.return_percent, 0);

  // Only gains: no downside, so Sortino has no divisor and is 0; Sharpe is defined.
  const auto up = Metrics::compute({}, curve({100, 110, 130}));
  EXPECT_EQ(up.sortino_ratio, 0);
  EXPECT_GT(up.sharpe_ratio, 0);
  EXPECT_EQ(up.max_drawdown, 0);

  // Trades without any equity curve, and a curve starting at 0 (a P&L curve).
  const auto only_trades = Metrics::compute(trades_with({-1, -2}), {});
  EXPECT_EQ(only_trades.win_rate, 0);
  EXPECT_EQ(only_trades.average_trade, -1.5);
  const auto pnl_curve = Metrics::compute({}, curve({0, 5, -5}));
  EXPECT_EQ(pnl_curve.return_percent, 0);
  EXPECT_EQ(pnl_curve.max_drawdown, 10);
  EXPECT_EQ(pnl_curve.max_drawdown_percent, 200);  // 5 -> -5 against the positive peak 5
}

// Bars a year come from the bars' own calendar, whatever sessions they keep.
TEST(Metrics, AnnualisedFromTheCalendarOfTheBars) {
  using tolbu_sdk::backtest::periods_per_year_of;
  const double year = 365.25 * 86400;
  struct Case {
    const char* name;
    std::vector<int> minutes;  // bar times, minutes from T0
    std::optional<double> expected;
  };
  std::vector<int> day, sessions;
  for (int i = 0; i <= 1440; ++i) day.push_back(i);
  // Five days of a 09:00-11:30 and 13:00-14:45 session, nights and the weekend between.
  for (int d : {0, 1, 2, 3, 6})
    for (int m = 0; m < 6 * 60; ++m)
      if (m < 150 || (m >= 240 && m < 345)) sessions.push_back(d * 1440 + m);
  const Case cases[] = {
      {"round the clock", day, 1440 / (86400 / year)},
      {"sessions", sessions,
       static_cast<double>(sessions.size() - 1) /
           ((sessions.back() - sessions.front()) * 60 / year)},
      {"one bar", {0}, std::nullopt},
      {"no time between", {5, 5, 5}, std::nullopt},
      {"none", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<EquityPoint> points;
    for (int m : c.minutes) points.push_back({minute(m), 100.0 + m % 7});
    const auto got = periods_per_year_of(points);
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (!got) continue;
    EXPECT_NEAR(*got, *c.expected, 1e-6 * *c.expected);
    // The report says how: from the bars, not from an assumed year.
    const auto m = Metrics::compute({}, points, got);
    EXPECT_NE(m.annualisation.find("bar steps over"), std::string::npos) << m.annualisation;
  }
  EXPECT_NE(Metrics::compute({}, curve({1, 2, 3}), 252.0).annualisation.find("(given)"),
            std::string::npos);
}

// The run's costs and its ruin come through from the result; gross = net + costs.
TEST(Metrics, CostsRuinAndBreakevenFromTheResult) {
  BacktestResult r = sample_result();
  r.commission = 1.5;
  r.slippage = 0.75;
  r.trade_costs = {{1.0, 0.5}, {0.5, 0.25}};
  r.trades.push_back(trade("t3", PositionSide::LONG, 8, 104, 9, 104, 0.004));  // rounds to 0.00
  r.trade_costs.push_back({});
  r.ruined_at_bar = 9;
  const Metrics m = Metrics::compute(r);
  EXPECT_DOUBLE_EQ(m.net_pnl, 3.0);  // equity 1000 -> 1003
  EXPECT_DOUBLE_EQ(m.gross_pnl, 3.0 + 1.5 + 0.75);
  EXPECT_EQ(m.commission, 1.5);
  EXPECT_EQ(m.slippage, 0.75);
  EXPECT_EQ(m.ruined_at_bar, 9u);
  EXPECT_EQ(m.breakeven, 1u);
  EXPECT_EQ(m.wins + m.losses, 2u);
  EXPECT_DOUBLE_EQ(m.win_rate, 50.0);

  r.trade_costs.pop_back();  // one short of the trades
  EXPECT_THROW(Metrics::compute(r), tolbu_sdk::ValueError);
  r.trade_costs.push_back({});
  r.ruined_at_bar = 10;  // past the curve
  EXPECT_THROW(Metrics::compute(r), tolbu_sdk::ValueError);
  r.ruined_at_bar.reset();
  r.slippage = std::numeric_limits<double>::infinity();
  EXPECT_THROW(Metrics::compute(r), tolbu_sdk::ValueError);
}

TEST(Metrics, RejectsInputThatWouldPutNaNInTheReport) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_THROW(Metrics::compute({}, curve({100, nan})), ValueError);
  EXPECT_THROW(Metrics::compute(trades_with({inf}), {}), ValueError);
  EXPECT_THROW(Metrics::compute({}, curve({100, 101}), 0.0), ValueError);
  EXPECT_THROW(Metrics::compute({}, curve({100, 101}), nan), ValueError);
  EXPECT_THROW(Metrics::compute({}, curve({1e308, 1e308, -1e308})), ValueError);  // overflow
  auto backwards = curve({100, 101, 102});
  std::swap(backwards[0].time, backwards[2].time);
  try {
    Metrics::compute({}, backwards);
    FAIL() << "times going backwards were accepted";
  } catch (const ValueError& error) {
    EXPECT_STREQ(error.what(), "Equity time at index 1 is before the one at index 0");
  }
}

}  // namespace

// Performance figures of a backtest from its trades and its per-bar equity.

#include <fmt/format.h>
#include <boost/json/value.hpp>

#include <algorithm>
#include <cmath>

#include "tolbu_sdk/backtest/report.hpp"
#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk::backtest {

namespace json = boost::json;
using strategy::ClosedPosition;

namespace {

void require_finite(double value, std::string_view what, std::size_t index) {
  if (!std::isfinite(value))
    throw ValueError(fmt::format("{} at index {} is not a finite number", what, index));
}

void validate(const std::vector<ClosedPosition>& trades, const std::vector<EquityPoint>& curve,
              std::optional<double> periods_per_year) {
  for (std::size_t i = 0; i < trades.size(); ++i) {
    const ClosedPosition& t = trades[i];
    require_finite(t.pnl, "Trade pnl", i);
    require_finite(t.pnl_percent, "Trade pnl_percent", i);
    require_finite(t.entry_price, "Trade entry_price", i);
    require_finite(t.exit_price, "Trade exit_price", i);
    require_finite(t.duration_seconds, "Trade duration_seconds", i);
  }
  for (std::size_t i = 0; i < curve.size(); ++i) {
    require_finite(curve[i].equity, "Equity", i);
    if (i > 0 && curve[i].time < curve[i - 1].time)
      throw ValueError(
          fmt::format("Equity time at index {} is before the one at index {}", i, i - 1));
  }
  if (periods_per_year && !(std::isfinite(*periods_per_year) && *periods_per_year > 0))
    throw ValueError("periods_per_year must be a positive finite number");
}

constexpr double kSecondsPerYear = 365.25 * 86400;

// +1 a win, -1 a loss, 0 neither: what rounds to 0.00 made nothing either way.
int trade_outcome(double pnl) {
  const double cents = std::round(pnl * 100);
  return cents > 0 ? 1 : cents < 0 ? -1 : 0;
}

std::string annualisation_text(std::optional<double> periods_per_year,
                               const std::vector<EquityPoint>& curve) {
  if (!periods_per_year) return "Sharpe and Sortino are per bar (not annualised)";
  const auto from_bars = periods_per_year_of(curve);
  if (from_bars && std::abs(*from_bars - *periods_per_year) <= 1e-9 * *periods_per_year) {
    const double years =
        platform::seconds_between(curve.front().time, curve.back().time) / kSecondsPerYear;
    return fmt::format(
        "Sharpe and Sortino are annualised by sqrt({:.1f}) bars a year: {} bar steps over "
        "{:.4g} calendar years ({:.2f} days) from the first bar to the last",
        *periods_per_year, curve.size() - 1, years, years * 365.25);
  }
  return fmt::format("Sharpe and Sortino are annualised by sqrt({:.1f}) periods a year (given)",
                     *periods_per_year);
}

// Ratios of a mean to a dispersion that is missing or zero are 0, never NaN or infinite.
double ratio(double mean, double dispersion) {
  if (!(dispersion > 0)) return 0.0;
  const double value = mean / dispersion;
  return std::isfinite(value) ? value : 0.0;
}

void add_drawdown(Metrics& m, const std::vector<EquityPoint>& curve) {
  if (curve.empty()) return;
  double peak = curve[0].equity;
  std::size_t peak_index = 0;
  std::optional<std::size_t> worst_peak;
  for (std::size_t i = 0; i < curve.size(); ++i) {
    const double equity = curve[i].equity;
    if (equity >= peak) {
      peak = equity;
      peak_index = i;
    }
    const double fall = peak - equity;
    if (fall > m.max_drawdown) {
      m.max_drawdown = fall;
      worst_peak = peak_index;
    }
    if (peak > 0) m.max_drawdown_percent = std::max(m.max_drawdown_percent, fall / peak * 100);
  }
  if (!worst_peak) return;
  const double level = curve[*worst_peak].equity;
  std::size_t end = *worst_peak + 1;
  while (end + 1 < curve.size() && curve[end].equity < level) ++end;
  m.max_drawdown_duration_bars = end - *worst_peak;
  m.max_drawdown_duration_seconds =
      platform::seconds_between(curve[*worst_peak].time, curve[end].time);
}

void add_ratios(Metrics& m, const std::vector<EquityPoint>& curve) {
  std::vector<double> returns;
  for (std::size_t i = 1; i < curve.size(); ++i) {
    const double base = curve[i - 1].equity;
    if (base > 0) returns.push_back(curve[i].equity / base - 1);
  }
  if (returns.size() < 2) return;
  const double n = static_cast<double>(returns.size());
  double sum = 0;
  for (double r : returns) sum += r;
  const double mean = sum / n;
  double squares = 0;
  double downside = 0;
  for (double r : returns) {
    squares += (r - mean) * (r - mean);
    if (r < 0) downside += r * r;
  }
  const double scale = m.periods_per_year ? std::sqrt(*m.periods_per_year) : 1.0;
  m.sharpe_ratio = ratio(mean, std::sqrt(squares / (n - 1))) * scale;
  m.sortino_ratio = ratio(mean, std::sqrt(downside / n)) * scale;
}

}  // namespace

Metrics Metrics::compute(const std::vector<ClosedPosition>& trades,
                         const std::vector<EquityPoint>& equity_curve,
                         std::optional<double> periods_per_year) {
  validate(trades, equity_curve, periods_per_year);
  Metrics m;
  m.periods_per_year = periods_per_year;
  m.trades = trades.size();
  for (const ClosedPosition& t : trades) {
    m.total_pnl += t.pnl;
    const int outcome = trade_outcome(t.pnl);
    m.wins += outcome > 0 ? 1 : 0;
    m.losses += outcome < 0 ? 1 : 0;
    m.breakeven += outcome == 0 ? 1 : 0;
  }
  if (m.wins + m.losses > 0)
    m.win_rate = 100.0 * static_cast<double>(m.wins) / static_cast<double>(m.wins + m.losses);
  if (m.trades > 0) m.average_trade = m.total_pnl / static_cast<double>(m.trades);

  m.bars = equity_curve.size();
  if (!equity_curve.empty()) {
    m.initial_equity = equity_curve.front().equity;
    m.final_equity = equity_curve.back().equity;
    if (m.initial_equity > 0) m.return_percent = (m.final_equity / m.initial_equity - 1) * 100;
    std::size_t exposed = 0;
    for (const EquityPoint& p : equity_curve) exposed += p.in_position ? 1 : 0;
    m.exposure = 100.0 * static_cast<double>(exposed) / static_cast<double>(m.bars);
  }
  m.net_pnl = m.final_equity - m.initial_equity;
  m.gross_pnl = m.net_pnl;
  add_drawdown(m, equity_curve);
  add_ratios(m, equity_curve);
  m.annualisation = annualisation_text(periods_per_year, equity_curve);
  // Sums of huge finite values can still overflow.
  for (double v : {m.total_pnl, m.average_trade, m.return_percent, m.max_drawdown,
                   m.max_drawdown_percent, m.sharpe_ratio, m.sortino_ratio, m.net_pnl})
    if (!std::isfinite(v)) throw ValueError("Backtest figures overflow a double");
  return m;
}

Metrics Metrics::compute(const BacktestResult& result) {
  if (!result.trade_costs.empty() && result.trade_costs.size() != result.trades.size())
    throw ValueError(fmt::format("{} trade costs for {} trades", result.trade_costs.size(),
                                 result.trades.size()));
  for (std::size_t i = 0; i < result.prices.size(); ++i) {
    require_finite(result.prices[i].price, "Price", i);
    if (i > 0 && result.prices[i].time < result.prices[i - 1].time)
      throw ValueError(
          fmt::format("Price time at index {} is before the one at index {}", i, i - 1));
  }
  require_finite(result.commission, "Commission", 0);
  require_finite(result.slippage, "Slippage", 0);
  for (std::size_t i = 0; i < result.trade_costs.size(); ++i) {
    require_finite(result.trade_costs[i].commission, "Trade commission", i);
    require_finite(result.trade_costs[i].slippage, "Trade slippage", i);
  }
  if (result.ruined_at_bar && *result.ruined_at_bar >= result.equity_curve.size())
    throw ValueError(fmt::format("Ruined at bar {} of a curve of {} bars", *result.ruined_at_bar,
                                 result.equity_curve.size()));
  Metrics m = compute(result.trades, result.equity_curve, result.periods_per_year);
  m.commission = result.commission;
  m.slippage = result.slippage;
  m.gross_pnl = m.net_pnl + m.commission + m.slippage;
  m.ruined_at_bar = result.ruined_at_bar;
  if (!std::isfinite(m.gross_pnl)) throw ValueError("Backtest figures overflow a double");
  return m;
}

std::optional<double> periods_per_year_of(const std::vector<EquityPoint>& curve) {
  if (curve.size() < 2) return std::nullopt;
  const double seconds = platform::seconds_between(curve.front().time, curve.back().time);
  if (!(seconds > 0)) return std::nullopt;
  return static_cast<double>(curve.size() - 1) / (seconds / kSecondsPerYear);
}

json::object Metrics::to_json() const {
  json::object out;
  out.emplace("trades", trades);
  out.emplace("wins", wins);
  out.emplace("losses", losses);
  out.emplace("win_rate", win_rate);
  out.emplace("total_pnl", total_pnl);
  out.emplace("average_trade", average_trade);
  out.emplace("initial_equity", initial_equity);
  out.emplace("final_equity", final_equity);
  out.emplace("return_percent", return_percent);
  out.emplace("max_drawdown", max_drawdown);
  out.emplace("max_drawdown_percent", max_drawdown_percent);
  out.emplace("max_drawdown_duration_seconds", max_drawdown_duration_seconds);
  out.emplace("max_drawdown_duration_bars", max_drawdown_duration_bars);
  out.emplace("sharpe_ratio", sharpe_ratio);
  out.emplace("sortino_ratio", sortino_ratio);
  out.emplace("exposure", exposure);
  out.emplace("bars", bars);
  out.emplace("periods_per_year", periods_per_year ? json::value(*periods_per_year) : nullptr);
  out.emplace("breakeven", breakeven);
  out.emplace("net_pnl", net_pnl);
  out.emplace("gross_pnl", gross_pnl);
  out.emplace("commission", commission);
  out.emplace("slippage", slippage);
  out.emplace("ruined_at_bar", ruined_at_bar ? json::value(*ruined_at_bar) : nullptr);
  out.emplace("annualisation", annualisation);
  return out;
}

}  // namespace tolbu_sdk::backtest

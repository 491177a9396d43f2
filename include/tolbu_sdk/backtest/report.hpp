#pragma once
// The result of a backtest as figures, JSON and one self-contained HTML page.
//
//   backtest::BacktestResult result{.title = "SMA FPT 1m", .prices = ..., .equity_curve = ...,
//                                   .trades = ...};
//   app.report = backtest::report_json(result);          // what "/report" answers
//   backtest::write_json_report("report.json", result);
//   backtest::write_html_report("report.html", result);
//
// Conventions of the figures:
// - Returns are per-bar simple returns of the equity series, r = E[i] / E[i-1] - 1, taken only
//   where E[i-1] > 0 (a return on a non-positive base means nothing).
// - Sharpe = mean(r) / sample stddev(r) (divisor n - 1); Sortino = mean(r) / downside deviation,
//   sqrt(sum(min(r, 0)^2) / n) against a target of 0. Neither is annualised unless
//   periods_per_year is given, which multiplies both by sqrt(periods_per_year). A ratio whose
//   divisor is 0 or that has fewer than two returns is 0, so the JSON never holds NaN.
// - Maximum drawdown: the largest fall of equity below its running peak, in money; the
//   percentage is the largest fall relative to a positive peak (both maxima are taken
//   separately). Its duration runs from the peak before the deepest money drawdown to the
//   first bar back at that peak, or to the last bar when equity never got back.
// - Win rate and exposure are in per cent: winning trades (pnl > 0) of all trades, bars with an
//   open position of all bars; 0 without trades or bars.
// Every value is finite: non-finite input is rejected with ValueError.

#include <boost/json/fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// std::filesystem::path by name only where the library declares it apart: <filesystem> costs
// more than the rest of this header. Callers that pass a path have included it already.
#if defined(__GLIBCXX__) && __has_include(<bits/fs_fwd.h>)
#include <bits/fs_fwd.h>
#else
#include <filesystem>
#endif

#include "tolbu_sdk/platform/datetime.hpp"
#include "tolbu_sdk/platform/export.hpp"
#include "tolbu_sdk/strategy/position.hpp"

namespace tolbu_sdk::backtest {

using platform::LocalDateTime;

// Account equity at the close of one bar, and whether a position was open during it.
struct TOLBU_API EquityPoint {
  // The bar's close time.
  LocalDateTime time;
  // Account equity, in money.
  double equity;
  // Whether a position was open during the bar.
  bool in_position = false;

  // Every field equal.
  bool operator==(const EquityPoint&) const = default;
};

// The traded instrument's price at the close of one bar.
struct TOLBU_API PricePoint {
  // The bar's close time.
  LocalDateTime time;
  // The close price.
  double price;

  // Every field equal.
  bool operator==(const PricePoint&) const = default;
};

// The figures of a backtest, by the conventions at the top of this file.
struct TOLBU_API Metrics {
  // Closed trades counted.
  std::size_t trades = 0;
  std::size_t wins = 0;    // pnl > 0
  std::size_t losses = 0;  // pnl < 0
  double win_rate = 0.0;   // per cent
  double total_pnl = 0.0;  // sum of the trades' pnl
  // total_pnl over trades; 0 without trades.
  double average_trade = 0.0;
  double initial_equity = 0.0;  // first and last points of the curve; 0 without one
  // @copydoc initial_equity
  double final_equity = 0.0;
  double return_percent = 0.0;  // final over initial equity; 0 unless initial equity > 0
  double max_drawdown = 0.0;    // money, >= 0
  // The largest fall below a positive peak, in per cent of that peak.
  double max_drawdown_percent = 0.0;
  // Time from the peak before the deepest drawdown to the recovery (or the last bar).
  double max_drawdown_duration_seconds = 0.0;
  // The same in bars.
  std::size_t max_drawdown_duration_bars = 0;
  // mean(r) / sample stddev(r), annualised when periods_per_year is set.
  double sharpe_ratio = 0.0;
  // mean(r) / downside deviation, annualised when periods_per_year is set.
  double sortino_ratio = 0.0;
  double exposure = 0.0;  // per cent of bars
  // Points of the equity curve.
  std::size_t bars = 0;
  std::optional<double> periods_per_year;  // set when the ratios are annualised

  // Throws ValueError for a non-finite value in the input, a non-positive periods_per_year or
  // equity times that go backwards.
  static Metrics compute(const std::vector<strategy::ClosedPosition>& trades,
                         const std::vector<EquityPoint>& equity_curve,
                         std::optional<double> periods_per_year = std::nullopt);

  // Keys in the order of the fields; "periods_per_year" is null when not annualised.
  boost::json::object to_json() const;

  // Every field equal.
  bool operator==(const Metrics&) const = default;
};

// Everything one report shows.
struct TOLBU_API BacktestResult {
  std::string title;  // page heading, e.g. strategy, symbol and resolution
  // The traded instrument's closes, one per bar.
  std::vector<PricePoint> prices;
  // Account equity at each bar's close.
  std::vector<EquityPoint> equity_curve;
  // The closed trades.
  std::vector<strategy::ClosedPosition> trades;
  // Bars per year, to annualise the ratios; absent: not annualised.
  std::optional<double> periods_per_year;
  // The position still open when the report is made (a report taken during the run).
  std::optional<strategy::Position> open_position;
};

// {"metrics": {...}, "equity_curve": [{"time", "equity"}, ...],
//  "trades": [{"id", "symbol", "side", ...}, ...], "open_position": Position::to_dict() or null}:
// a value that get_algo_stat_report() can answer for "/report". Times are ISO texts without a
// zone.
TOLBU_API boost::json::object report_json(const BacktestResult& result);

// The JSON text of report_json; identical input gives identical bytes.
TOLBU_API std::string report_json_text(const BacktestResult& result);

// One HTML page without any outside resource: the price with the trades' entries and exits,
// the equity curve, the drawdown (inline SVG), the metrics and the trades. Identical input
// gives identical bytes.
TOLBU_API std::string report_html(const BacktestResult& result);

// Write the texts above to a file (replaced if it exists, written whole or not at all).
// Throws RuntimeError naming the file when it cannot be written. Passing a file name needs
// `<filesystem>` at the call.
TOLBU_API void write_json_report(const std::filesystem::path& file, const BacktestResult& result);
// @copydoc write_json_report
TOLBU_API void write_html_report(const std::filesystem::path& file, const BacktestResult& result);

}  // namespace tolbu_sdk::backtest

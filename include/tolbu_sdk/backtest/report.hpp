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
// - Money is net of costs. Equity, drawdown, the ratios and each trade's pnl are after
//   commission (fees) and slippage. Slippage is already inside the fill prices; commission is
//   charged on top. Gross P&L is the result before both: net + commission + slippage, where
//   net P&L is the equity's change from the first point of the curve to the last.
// - Slippage of a fill is how much worse it filled than the price the strategy saw when it
//   sent the order (the last price for a market order, the limit of a limit order), in money,
//   positive when paid; an improvement counts negative.
// - Returns are per-bar simple returns of the equity series, r = E[i] / E[i-1] - 1, taken only
//   where E[i-1] > 0 (a return on a non-positive base means nothing).
// - Sharpe = mean(r) / sample stddev(r) (divisor n - 1); Sortino = mean(r) / downside deviation,
//   sqrt(sum(min(r, 0)^2) / n) against a target of 0. Neither is annualised unless
//   periods_per_year is given, which multiplies both by sqrt(periods_per_year). A ratio whose
//   divisor is 0 or that has fewer than two returns is 0, so the JSON never holds NaN.
// - Annualisation from the calendar of the data (periods_per_year_of): bars per year = the
//   bar-to-bar steps of the curve / the years from its first to its last time (365.25-day
//   years). Gaps between sessions, nights and weekends are inside that span, so a market that
//   trades in sessions gets the bars a year it really has; nothing is assumed about sessions.
// - Maximum drawdown: the largest fall of equity below its running peak, in money; the
//   percentage is the largest fall relative to a positive peak (both maxima are taken
//   separately). Its duration runs from the peak before the deepest money drawdown to the
//   first bar back at that peak, or to the last bar when equity never got back; in bars and in
//   the same calendar seconds the annualisation uses.
// - A trade whose pnl rounds to 0.00 is neither a win nor a loss ("breakeven"). Win rate is
//   in per cent of the decided trades: wins / (wins + losses); 0 when none is decided.
// - Exposure is in per cent: bars with an open position of all bars; 0 without bars.
// - Ruin: a run stopped because equity reached zero or below names the bar (ruined_at_bar,
//   the index in the equity curve); the figures cover the bars up to it.
// - Times of equity and prices are the close of their bar, the instant a fill after that bar
//   happens, so trade markers and curves line up.
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

// What one trade paid, in the order of BacktestResult::trades; its pnl is net of both, its
// gross result is pnl + commission + slippage.
struct TOLBU_API TradeCosts {
  double commission = 0.0;  // fees charged to the trade, its share of its opening fills' too
  double slippage = 0.0;    // money lost to fill prices worse than the prices sent against

  // Every field equal.
  bool operator==(const TradeCosts&) const = default;
};

struct BacktestResult;

// The figures of a backtest, by the conventions at the top of this file.
struct TOLBU_API Metrics {
  // Closed trades counted.
  std::size_t trades = 0;
  std::size_t wins = 0;    // pnl rounds above 0.00
  std::size_t losses = 0;  // pnl rounds below 0.00
  double win_rate = 0.0;   // per cent of wins + losses
  double total_pnl = 0.0;  // sum of the trades' pnl (net)
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
  std::size_t breakeven = 0;               // trades whose pnl rounds to 0.00
  double net_pnl = 0.0;                    // final - initial equity
  double gross_pnl = 0.0;                  // net_pnl + commission + slippage
  double commission = 0.0;                 // every fee paid
  double slippage = 0.0;                   // money lost to fill prices, paid positive
  std::optional<std::size_t> ruined_at_bar{};  // the bar where equity reached 0, if it did
  std::string annualisation{};  // how the ratios are annualised, as the report says it

  // Throws ValueError for a non-finite value in the input, a non-positive periods_per_year or
  // equity times that go backwards.
  static Metrics compute(const std::vector<strategy::ClosedPosition>& trades,
                         const std::vector<EquityPoint>& equity_curve,
                         std::optional<double> periods_per_year = std::nullopt);
  // Everything above, with the run's costs and its ruin.
  static Metrics compute(const BacktestResult& result);

  // Keys in the order of the fields; "periods_per_year" and "ruined_at_bar" are null when
  // not set.
  boost::json::object to_json() const;

  // Every field equal.
  bool operator==(const Metrics&) const = default;
};

// A position still open when the report is made, one per symbol.
struct TOLBU_API OpenHolding {
  std::string symbol;           // the instrument
  std::int64_t qty = 0;         // signed: above 0 long
  double avg_price = 0.0;       // average entry price of the open quantity
  double unrealized_pnl = 0.0;  // at the latest price, before costs

  // Every field equal.
  bool operator==(const OpenHolding&) const = default;
};

// An order the risk guard refused.
struct TOLBU_API RefusedOrder {
  LocalDateTime time;   // the bar time it was refused at
  std::string symbol;   // the order's symbol
  std::string side;     // "BUY" or "SELL"
  std::int64_t qty = 0;  // the order's quantity
  std::string reason;   // which limit refused it, with the figures

  // Every field equal.
  bool operator==(const RefusedOrder&) const = default;
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
  std::vector<TradeCosts> trade_costs{};  // one per trade, or empty when not known
  double commission = 0.0;                // the run's totals, open positions' included
  double slippage = 0.0;                  // the run's total slippage, likewise
  std::optional<std::size_t> ruined_at_bar{};  // the run stopped there: equity reached 0
  // The symbol whose prices are charted: only its trades are marked on them (every trade
  // when empty).
  std::string price_symbol{};
  std::vector<OpenHolding> positions{};  // every open position (a report taken during the run)
  std::vector<RefusedOrder> refusals{};  // orders the risk guard refused, oldest first
};

// Bars a year from the calendar of the curve: its steps over the years it spans. Absent with
// fewer than two points or no time between the first and the last.
TOLBU_API std::optional<double> periods_per_year_of(const std::vector<EquityPoint>& curve);

// {"metrics": {...}, "equity_curve": [{"time", "equity", "in_position"}, ...],
//  "prices": [{"time", "price"}, ...],
//  "trades": [{"id", "symbol", "side", ..., "commission", "slippage"}, ...],
//  "open_position": Position::to_dict() or null,
//  "positions": [{"symbol", "qty", "avg_price", "unrealized_pnl"}, ...],
//  "refusals": [{"time", "symbol", "side", "qty", "reason"}, ...]}:
// a value that get_algo_stat_report() can answer for "/report", the same during a run and
// after it. Every trade and every bar is kept, so exposure and the rest recompute from the
// file. Times are ISO texts without a zone.
TOLBU_API boost::json::object report_json(const BacktestResult& result);

// The JSON text of report_json; identical input gives identical bytes.
TOLBU_API std::string report_json_text(const BacktestResult& result);

// One HTML page without any outside resource: the price with the trades' entries and exits,
// the equity curve, the drawdown (inline SVG drawn by inline script, with a shared zoom), the
// metrics and the trades (paged). Long runs stay small (under 2 MB for a year of one-minute bars
// and 20,000 trades): the series are kept as the minimum and maximum of each of a few thousand
// spans, the price also at every bar or as many finer spans as the page has room for, each
// chart draws one pixel column's low and high, and trade markers are drawn only when the
// zoomed range has room for them. "#view=A,B" in the address opens it zoomed to that part
// (fractions of the run). Identical input gives identical bytes.
TOLBU_API std::string report_html(const BacktestResult& result);

// Write the texts above to a file (replaced if it exists, written whole or not at all).
// Throws RuntimeError naming the file when it cannot be written. Passing a file name needs
// `<filesystem>` at the call.
TOLBU_API void write_json_report(const std::filesystem::path& file, const BacktestResult& result);
// @copydoc write_json_report
TOLBU_API void write_html_report(const std::filesystem::path& file, const BacktestResult& result);

}  // namespace tolbu_sdk::backtest

// The backtest report as one HTML page with inline SVG charts: nothing is fetched, so the
// file can be mailed or archived, and the same input always gives the same bytes.

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "tolbu_sdk/backtest/report.hpp"
#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk::backtest {

using platform::iso_text;
using strategy::ClosedPosition;

namespace {

constexpr double WIDTH = 1000, HEIGHT = 260;
constexpr double LEFT = 80, RIGHT = 12, TOP = 12, BOTTOM = 26;

void append_escaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
}

std::string escaped(std::string_view text) {
  std::string out;
  append_escaped(out, text);
  return out;
}

std::string money(double value) { return fmt::format("{:.2f}", value); }

// Maps bar indexes and values onto one chart's plot area.
class Scale {
 public:
  Scale(std::size_t points, double low, double high) : points_(points), low_(low), high_(high) {
    if (!(high_ > low_)) {  // a flat series is drawn across the middle
      const double pad = std::max(1.0, std::abs(low_) * 0.01);
      low_ -= pad;
      high_ += pad;
    }
  }
  double x(std::size_t index) const {
    const double width = WIDTH - LEFT - RIGHT;
    if (points_ < 2) return LEFT + width / 2;
    return LEFT + width * static_cast<double>(index) / static_cast<double>(points_ - 1);
  }
  double y(double value) const {
    return TOP + (HEIGHT - TOP - BOTTOM) * (high_ - value) / (high_ - low_);
  }
  double low() const { return low_; }
  double high() const { return high_; }

 private:
  std::size_t points_;
  double low_, high_;
};

// Opens an SVG chart with its frame, the value range at the left and the time range below.
void open_chart(std::string& out, std::string_view id, const Scale& scale,
                const std::vector<LocalDateTime>& times) {
  fmt::format_to(std::back_inserter(out),
                 "<svg id=\"{}\" class=\"chart\" viewBox=\"0 0 {} {}\" "
                 "xmlns=\"http://www.w3.org/2000/svg\" role=\"img\">\n",
                 id, WIDTH, HEIGHT);
  fmt::format_to(std::back_inserter(out),
                 "<rect class=\"frame\" x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\"/>\n", LEFT,
                 TOP, WIDTH - LEFT - RIGHT, HEIGHT - TOP - BOTTOM);
  fmt::format_to(std::back_inserter(out),
                 "<text class=\"axis\" x=\"{}\" y=\"{:.2f}\" text-anchor=\"end\">{}</text>\n",
                 LEFT - 6, TOP + 10, money(scale.high()));
  fmt::format_to(std::back_inserter(out),
                 "<text class=\"axis\" x=\"{}\" y=\"{:.2f}\" text-anchor=\"end\">{}</text>\n",
                 LEFT - 6, HEIGHT - BOTTOM, money(scale.low()));
  if (times.empty()) {
    fmt::format_to(
        std::back_inserter(out),
        "<text class=\"empty\" x=\"{}\" y=\"{}\" text-anchor=\"middle\">No data</text>\n",
        WIDTH / 2, HEIGHT / 2);
    return;
  }
  fmt::format_to(std::back_inserter(out),
                 "<text class=\"axis\" x=\"{}\" y=\"{}\" text-anchor=\"start\">{}</text>\n", LEFT,
                 HEIGHT - 8, iso_text(times.front()));
  fmt::format_to(std::back_inserter(out),
                 "<text class=\"axis\" x=\"{}\" y=\"{}\" text-anchor=\"end\">{}</text>\n",
                 WIDTH - RIGHT, HEIGHT - 8, iso_text(times.back()));
}

void polyline(std::string& out, std::string_view id, const Scale& scale,
              const std::vector<double>& values) {
  if (values.empty()) return;
  fmt::format_to(std::back_inserter(out), "<polyline id=\"{}\" class=\"series\" points=\"", id);
  for (std::size_t i = 0; i < values.size(); ++i)
    fmt::format_to(std::back_inserter(out), "{}{:.2f},{:.2f}", i == 0 ? "" : " ", scale.x(i),
                   scale.y(values[i]));
  out += "\"/>\n";
}

std::pair<double, double> range_of(const std::vector<double>& values) {
  if (values.empty()) return {0.0, 0.0};
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  return {*low, *high};
}

// The first bar at or after time, when time lies within the bars' span.
std::optional<std::size_t> bar_at(const std::vector<PricePoint>& prices, LocalDateTime time) {
  if (prices.empty() || time < prices.front().time || time > prices.back().time)
    return std::nullopt;
  const auto it = std::lower_bound(prices.begin(), prices.end(), time,
                                   [](const PricePoint& p, LocalDateTime t) { return p.time < t; });
  return static_cast<std::size_t>(it - prices.begin());
}

std::string trade_title(const ClosedPosition& t) {
  return escaped(fmt::format("{} {} {} @ {} -> {} ({}), pnl {}", to_string(t.side), t.quantity,
                             t.symbol, money(t.entry_price), money(t.exit_price),
                             iso_text(t.exit_time), money(t.pnl)));
}

void price_chart(std::string& out, const BacktestResult& r) {
  std::vector<double> closes;
  std::vector<LocalDateTime> times;
  for (const PricePoint& p : r.prices) closes.push_back(p.price), times.push_back(p.time);
  auto [low, high] = range_of(closes);
  struct Mark {
    std::size_t entry, exit;
    const ClosedPosition* trade;
  };
  std::vector<Mark> marks;
  for (const ClosedPosition& t : r.trades) {
    const auto entry = bar_at(r.prices, t.entry_time);
    const auto exit = bar_at(r.prices, t.exit_time);
    if (!entry || !exit) continue;  // outside the charted span
    marks.push_back({*entry, *exit, &t});
    low = std::min({low, t.entry_price, t.exit_price});
    high = std::max({high, t.entry_price, t.exit_price});
  }
  const Scale scale(closes.size(), low, high);
  open_chart(out, "price-chart", scale, times);
  polyline(out, "price-series", scale, closes);
  out += "<g id=\"trade-marks\">\n";
  for (const Mark& m : marks) {
    const ClosedPosition& t = *m.trade;
    const double x0 = scale.x(m.entry), y0 = scale.y(t.entry_price);
    const double x1 = scale.x(m.exit), y1 = scale.y(t.exit_price);
    const std::string title = trade_title(t);
    fmt::format_to(std::back_inserter(out),
                   "<line class=\"trade {}\" x1=\"{:.2f}\" y1=\"{:.2f}\" x2=\"{:.2f}\" "
                   "y2=\"{:.2f}\"/>\n",
                   t.pnl >= 0 ? "win" : "loss", x0, y0, x1, y1);
    // Long entries point up from below the price, short entries down from above.
    const double tip = t.side == strategy::PositionSide::LONG ? 1 : -1;
    fmt::format_to(std::back_inserter(out),
                   "<path class=\"entry {}\" d=\"M{:.2f},{:.2f} l-6,{:.2f} h12 z\">"
                   "<title>entry: {}</title></path>\n",
                   t.side == strategy::PositionSide::LONG ? "long" : "short", x0, y0, tip * 10,
                   title);
    fmt::format_to(std::back_inserter(out),
                   "<circle class=\"exit\" cx=\"{:.2f}\" cy=\"{:.2f}\" r=\"4\">"
                   "<title>exit: {}</title></circle>\n",
                   x1, y1, title);
  }
  out += "</g>\n</svg>\n";
}

void equity_charts(std::string& out, const BacktestResult& r) {
  std::vector<double> equity, drawdown;
  std::vector<LocalDateTime> times;
  double peak = 0;
  for (std::size_t i = 0; i < r.equity_curve.size(); ++i) {
    const EquityPoint& p = r.equity_curve[i];
    peak = i == 0 ? p.equity : std::max(peak, p.equity);
    equity.push_back(p.equity);
    drawdown.push_back(p.equity - peak);
    times.push_back(p.time);
  }
  const auto [low, high] = range_of(equity);
  const Scale equity_scale(equity.size(), low, high);
  out += "<h2>Equity</h2>\n";
  open_chart(out, "equity-chart", equity_scale, times);
  polyline(out, "equity-series", equity_scale, equity);
  out += "</svg>\n";

  const Scale drawdown_scale(drawdown.size(), range_of(drawdown).first, 0.0);
  out += "<h2>Drawdown</h2>\n";
  open_chart(out, "drawdown-chart", drawdown_scale, times);
  polyline(out, "drawdown-series", drawdown_scale, drawdown);
  out += "</svg>\n";
}

void metrics_table(std::string& out, const Metrics& m) {
  const auto row = [&out](std::string_view name, const std::string& value) {
    fmt::format_to(std::back_inserter(out), "<tr><th>{}</th><td>{}</td></tr>\n", name, value);
  };
  const auto ratio_name = [&m](std::string_view name) {
    return m.periods_per_year
               ? fmt::format("{} (annualised, {} periods)", name, *m.periods_per_year)
               : fmt::format("{} (per bar)", name);
  };
  out += "<table id=\"metrics\">\n";
  row("Trades", fmt::format("{} ({} won, {} lost)", m.trades, m.wins, m.losses));
  row("Win rate", fmt::format("{:.2f} %", m.win_rate));
  row("Total P&amp;L", money(m.total_pnl));
  row("Average trade", money(m.average_trade));
  row("Initial equity", money(m.initial_equity));
  row("Final equity", money(m.final_equity));
  row("Return", fmt::format("{:.2f} %", m.return_percent));
  row("Maximum drawdown",
      fmt::format("{} ({:.2f} %)", money(m.max_drawdown), m.max_drawdown_percent));
  row("Maximum drawdown duration", fmt::format("{} bars, {:.0f} s", m.max_drawdown_duration_bars,
                                               m.max_drawdown_duration_seconds));
  row(ratio_name("Sharpe ratio"), fmt::format("{:.4f}", m.sharpe_ratio));
  row(ratio_name("Sortino ratio"), fmt::format("{:.4f}", m.sortino_ratio));
  row("Exposure", fmt::format("{:.2f} % of {} bars", m.exposure, m.bars));
  out += "</table>\n";
}

void trades_table(std::string& out, const std::vector<ClosedPosition>& trades) {
  out +=
      "<table id=\"trades\">\n<tr><th>#</th><th>Side</th><th>Qty</th><th>Entry time</th>"
      "<th>Entry</th><th>Exit time</th><th>Exit</th><th>P&amp;L</th><th>P&amp;L %</th></tr>\n";
  for (std::size_t i = 0; i < trades.size(); ++i) {
    const ClosedPosition& t = trades[i];
    fmt::format_to(std::back_inserter(out),
                   "<tr class=\"{}\"><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td>"
                   "<td>{}</td><td>{}</td><td>{}</td><td>{:.2f}</td></tr>\n",
                   t.pnl >= 0 ? "win" : "loss", i + 1, to_string(t.side), t.quantity,
                   iso_text(t.entry_time), money(t.entry_price), iso_text(t.exit_time),
                   money(t.exit_price), money(t.pnl), t.pnl_percent);
  }
  out += "</table>\n";
}

constexpr std::string_view STYLE = R"css(
body { font: 14px/1.4 system-ui, sans-serif; margin: 24px; color: #222; background: #fafafa; }
h1 { font-size: 20px; } h2 { font-size: 16px; margin: 20px 0 6px; }
.chart { width: 100%; max-width: 1000px; height: auto; background: #fff; display: block; }
.frame { fill: none; stroke: #ccc; }
.axis, .empty { font-size: 11px; fill: #666; }
.series { fill: none; stroke-width: 1.2; stroke-linejoin: round; }
#price-series { stroke: #555; } #equity-series { stroke: #1f6feb; }
#drawdown-series { stroke: #d1242f; }
.trade { stroke-width: 1; stroke-dasharray: 3 2; } .trade.win { stroke: #1a7f37; }
.trade.loss { stroke: #d1242f; }
.entry.long { fill: #1a7f37; } .entry.short { fill: #d1242f; }
.exit { fill: #fff; stroke: #222; stroke-width: 1.5; }
table { border-collapse: collapse; background: #fff; }
th, td { padding: 3px 10px; border-bottom: 1px solid #eee; text-align: right; }
#metrics th { text-align: left; font-weight: normal; color: #555; }
tr.win td:nth-child(8) { color: #1a7f37; } tr.loss td:nth-child(8) { color: #d1242f; }
)css";

void validate_prices(const std::vector<PricePoint>& prices) {
  for (std::size_t i = 0; i < prices.size(); ++i) {
    if (!std::isfinite(prices[i].price))
      throw ValueError(fmt::format("Price at index {} is not a finite number", i));
    if (i > 0 && prices[i].time < prices[i - 1].time)
      throw ValueError(
          fmt::format("Price time at index {} is before the one at index {}", i, i - 1));
  }
}

}  // namespace

std::string report_html(const BacktestResult& result) {
  validate_prices(result.prices);
  const Metrics metrics =
      Metrics::compute(result.trades, result.equity_curve, result.periods_per_year);
  const std::string title = escaped(result.title.empty() ? "Backtest" : result.title);

  std::string out;
  out.reserve(4096 + 40 * (result.prices.size() + 2 * result.equity_curve.size()) +
              600 * result.trades.size());
  out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  fmt::format_to(std::back_inserter(out), "<title>{} - backtest report</title>\n", title);
  out += "<style>";
  out += STYLE;
  out += "</style>\n</head>\n<body>\n";
  fmt::format_to(std::back_inserter(out), "<h1>{}</h1>\n", title);
  metrics_table(out, metrics);
  out += "<h2>Price and trades</h2>\n";
  price_chart(out, result);
  equity_charts(out, result);
  out += "<h2>Trades</h2>\n";
  trades_table(out, result.trades);
  out += "</body>\n</html>\n";
  return out;
}

}  // namespace tolbu_sdk::backtest

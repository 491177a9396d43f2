// The backtest report as one HTML page: the figures as a table, the series and the trades as
// compact data drawn by an inline script into SVG. Nothing is fetched, so the file can be
// mailed or archived, and the same input always gives the same bytes.
//
// A year of one-minute bars and tens of thousands of trades must stay a page a browser opens
// at once: each series is kept as the minimum and maximum of at most kBuckets spans of bars,
// which is finer than any screen shows, and the script draws one pixel column from them.

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "tolbu_sdk/backtest/report.hpp"
#include "tolbu_sdk/errors.hpp"

namespace tolbu_sdk::backtest {

using platform::iso_text;
using strategy::ClosedPosition;

namespace {

// Spans a series is kept in: about four times the columns of the widest chart, so that a
// zoom of four keeps its detail. The price, which the trades sit on, has a finer level too
// for deeper zooms, as whole steps of its smallest decimal from one span to the next: every
// bar when the page has room, else as many spans as fit.
constexpr std::size_t kBuckets = 4000;
constexpr std::size_t kFineBuckets = 12000;
// What a page should stay within, and about what it holds besides its data.
constexpr std::size_t kPageBudget = 1'900'000;
constexpr std::size_t kPageFrame = 24'000;

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

// A JSON string that is also safe inside <script>: no "</script>" can be formed.
void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || c == '<' || c == '>' || c == '&') {
      fmt::format_to(std::back_inserter(out), "\\u{:04x}", u);
    } else {
      out += c;
    }
  }
  out += '"';
}

std::string money(double value) { return fmt::format("{:.2f}", value); }

// Shortest text that reads back; whole numbers without a fraction (JSON numbers either way).
std::string number(double value) {
  if (value == std::floor(value) && std::abs(value) < 1e15)
    return fmt::format("{}", static_cast<long long>(value));
  return fmt::format("{}", value);
}

// The first bar of bucket i when n bars are kept in buckets spans.
std::size_t bucket_start(std::size_t i, std::size_t n, std::size_t buckets) {
  return static_cast<std::size_t>(static_cast<unsigned long long>(i) * n / buckets);
}

// One series as {"n", "t", "lo", "hi"} (or "v" when every bucket is one bar): times as seconds
// from the report's origin, values rounded as given.
void append_series(std::string& out, std::string_view name, const std::vector<LocalDateTime>& times,
                   const std::vector<double>& low, const std::vector<double>& high,
                   LocalDateTime origin, int decimals) {
  const std::size_t n = times.size();
  const std::size_t buckets = std::min(n, kBuckets);
  const auto value = [decimals](double v) {
    return decimals < 0 ? number(v) : number(std::round(v * 100) / 100);
  };
  fmt::format_to(std::back_inserter(out), "\"{}\":{{\"n\":{},\"t\":[", name, n);
  for (std::size_t i = 0; i < buckets; ++i) {
    if (i > 0) out += ',';
    out += number(platform::seconds_between(origin, times[bucket_start(i, n, buckets)]));
  }
  out += ']';
  std::vector<double> lo(buckets), hi(buckets);
  bool single = true;
  for (std::size_t i = 0; i < buckets; ++i) {
    const std::size_t begin = bucket_start(i, n, buckets), end = bucket_start(i + 1, n, buckets);
    lo[i] = *std::min_element(low.begin() + static_cast<std::ptrdiff_t>(begin),
                              low.begin() + static_cast<std::ptrdiff_t>(end));
    hi[i] = *std::max_element(high.begin() + static_cast<std::ptrdiff_t>(begin),
                              high.begin() + static_cast<std::ptrdiff_t>(end));
    single = single && value(lo[i]) == value(hi[i]);
  }
  const auto list = [&](std::string_view key, const std::vector<double>& values) {
    fmt::format_to(std::back_inserter(out), ",\"{}\":[", key);
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i > 0) out += ',';
      out += value(values[i]);
    }
    out += ']';
  };
  if (single) {
    list("v", lo);
  } else {
    list("lo", lo);
    list("hi", hi);
  }
  out += '}';
}

// The decimals that write every price exactly (at most 6), for the fine level's whole steps.
std::optional<int> price_decimals(const std::vector<double>& prices) {
  for (int d = 0; d <= 6; ++d) {
    const double scale = std::pow(10.0, d);
    bool whole = true;
    for (double p : prices) {
      const double scaled = p * scale;
      if (std::abs(scaled) > 1e15 || std::abs(scaled - std::round(scaled)) > 1e-6) {
        whole = false;
        break;
      }
    }
    if (whole) return d;
  }
  return std::nullopt;
}

// The price's fine level of k spans: {"k", "d", "dt", "lo"[, "span"]}: the times from one span
// to the next as runs [seconds, count, ...], the lows as steps of 10^-d from the previous low,
// and each span's height in steps, negative when its high came before its low (left out when
// every span is one price), so the line runs through them in their order.
std::string fine_prices(const std::vector<LocalDateTime>& times, const std::vector<double>& prices,
                        LocalDateTime origin, int decimals, std::size_t k) {
  const std::size_t n = prices.size();
  const double scale = std::pow(10.0, decimals);
  std::string dt, lo, span;
  double previous_time = 0, run_step = 0;
  std::size_t run = 0;
  long long previous_low = 0;
  bool flat = true;
  const auto end_run = [&] {
    if (run == 0) return;
    fmt::format_to(std::back_inserter(dt), "{}{},{}", dt.empty() ? "" : ",", number(run_step), run);
  };
  for (std::size_t i = 0; i < k; ++i) {
    const std::size_t begin = bucket_start(i, n, k), end = bucket_start(i + 1, n, k);
    const auto [low, high] =
        std::minmax_element(prices.begin() + static_cast<std::ptrdiff_t>(begin),
                            prices.begin() + static_cast<std::ptrdiff_t>(end));
    const auto low_steps = std::llround(*low * scale);
    const auto high_steps = std::llround(*high * scale);
    const bool high_first = high < low;
    const double time = platform::seconds_between(origin, times[begin]);
    const double step = time - previous_time;
    if (run > 0 && step == run_step) {
      ++run;
    } else {
      end_run();
      run_step = step;
      run = 1;
    }
    const char* comma = i == 0 ? "" : ",";
    fmt::format_to(std::back_inserter(lo), "{}{}", comma, low_steps - previous_low);
    fmt::format_to(std::back_inserter(span), "{}{}", comma,
                   (high_first ? -1 : 1) * (high_steps - low_steps));
    flat = flat && high_steps == low_steps;
    previous_time = time;
    previous_low = low_steps;
  }
  end_run();
  return fmt::format(",\"fine\":{{\"k\":{},\"d\":{},\"dt\":[{}],\"lo\":[{}]{}}}", k, decimals, dt,
                     lo, flat ? "" : ",\"span\":[" + span + "]");
}

// The trade's bar in the prices: the bar whose close is at or after the time (a fill after a
// bar's close happens at that instant), or none outside the charted span.
std::optional<std::size_t> bar_at(const std::vector<PricePoint>& prices, LocalDateTime time) {
  if (prices.empty() || time < prices.front().time || time > prices.back().time)
    return std::nullopt;
  const auto it = std::lower_bound(prices.begin(), prices.end(), time,
                                   [](const PricePoint& p, LocalDateTime t) { return p.time < t; });
  return static_cast<std::size_t>(it - prices.begin());
}

void append_data(std::string& out, const BacktestResult& r) {
  LocalDateTime origin{};
  if (!r.prices.empty())
    origin = r.prices.front().time;
  else if (!r.equity_curve.empty())
    origin = r.equity_curve.front().time;
  else if (!r.trades.empty())
    origin = r.trades.front().entry_time;

  out += "{\"origin\":";
  append_json_string(out, iso_text(origin));
  out += ',';

  std::vector<LocalDateTime> price_times;
  std::vector<double> prices;
  for (const PricePoint& p : r.prices) price_times.push_back(p.time), prices.push_back(p.price);
  append_series(out, "price", price_times, prices, prices, origin, -1);
  out.pop_back();  // the fine level goes inside the price's object, once the rest is known
  const std::size_t fine_at = out.size();
  out += "},";

  std::vector<LocalDateTime> times;
  std::vector<double> values;
  times.clear();
  values.clear();
  std::vector<double> drawdown;
  double peak = 0;
  for (std::size_t i = 0; i < r.equity_curve.size(); ++i) {
    const EquityPoint& p = r.equity_curve[i];
    peak = i == 0 ? p.equity : std::max(peak, p.equity);
    times.push_back(p.time);
    values.push_back(p.equity);
    drawdown.push_back(p.equity - peak);
  }
  append_series(out, "equity", times, values, values, origin, 2);
  out += ',';
  append_series(out, "drawdown", times, drawdown, drawdown, origin, 2);

  // Trade times in minutes when they all fall on whole minutes (bar closes do): shorter.
  double unit = 60;
  for (const ClosedPosition& t : r.trades)
    for (LocalDateTime time : {t.entry_time, t.exit_time})
      if (std::fmod(platform::seconds_between(origin, time), 60.0) != 0) unit = 1;
  fmt::format_to(std::back_inserter(out), ",\"unit\":{}", number(unit));

  std::vector<std::string> symbols;
  out += ",\"trades\":[";
  for (std::size_t i = 0; i < r.trades.size(); ++i) {
    const ClosedPosition& t = r.trades[i];
    auto symbol = std::find(symbols.begin(), symbols.end(), t.symbol);
    if (symbol == symbols.end()) symbol = symbols.insert(symbols.end(), t.symbol);
    const bool ours = r.price_symbol.empty() || r.price_symbol == t.symbol;
    const auto entry = ours ? bar_at(r.prices, t.entry_time) : std::nullopt;
    const auto exit = ours ? bar_at(r.prices, t.exit_time) : std::nullopt;
    const bool charted = entry && exit;
    const TradeCosts* costs = r.trade_costs.empty() ? nullptr : &r.trade_costs[i];
    // [entry bar, exit bar (-1: not charted), entry and exit time from the origin in units,
    //  side (1 long), quantity, entry, exit, pnl, pnl %, commission, slippage, symbol]
    fmt::format_to(std::back_inserter(out), "{}[{},{},{},{},{},{},{},{},{},{},{},{},{}]",
                   i == 0 ? "" : ",", charted ? static_cast<long long>(*entry) : -1,
                   charted ? static_cast<long long>(*exit) : -1,
                   number(platform::seconds_between(origin, t.entry_time) / unit),
                   number(platform::seconds_between(origin, t.exit_time) / unit),
                   t.side == strategy::PositionSide::LONG ? 1 : -1, t.quantity,
                   number(t.entry_price), number(t.exit_price), money(t.pnl), money(t.pnl_percent),
                   costs ? money(costs->commission) : "null",
                   costs ? money(costs->slippage) : "null", symbol - symbols.begin());
  }
  out += "],\"symbols\":[";
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    if (i > 0) out += ',';
    append_json_string(out, symbols[i]);
  }
  out += "]}";

  // The price's fine level: every bar when the page has room for it, else halves of that
  // until it fits, never coarser than kFineBuckets.
  const std::size_t n = prices.size();
  const auto decimals = price_decimals(prices);
  if (n <= kBuckets || !decimals) return;
  std::string fine;
  for (std::size_t k = n;; k = std::max(kFineBuckets, k / 2)) {
    fine = fine_prices(price_times, prices, origin, *decimals, std::min(n, k));
    if (out.size() + fine.size() + kPageFrame <= kPageBudget || k <= kFineBuckets) break;
  }
  out.insert(fine_at, fine);
}

// The risk guard's refusals: the first ones in the page, every one in report.json.
void refusals_table(std::string& out, const std::vector<RefusedOrder>& refusals) {
  constexpr std::size_t kShown = 100;
  if (refusals.empty()) return;
  fmt::format_to(std::back_inserter(out),
                 "<h2>Orders refused by the risk guard ({})</h2>\n<table id=\"refusals\"><thead>"
                 "<tr><th>Time</th><th>Symbol</th><th>Side</th><th>Qty</th><th>Reason</th></tr>"
                 "</thead><tbody>\n",
                 refusals.size());
  for (std::size_t i = 0; i < refusals.size() && i < kShown; ++i) {
    const RefusedOrder& r = refusals[i];
    fmt::format_to(std::back_inserter(out),
                   "<tr><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td></tr>\n",
                   iso_text(r.time), escaped(r.symbol), escaped(r.side), r.qty,
                   escaped(r.reason));
  }
  out += "</tbody></table>\n";
  if (refusals.size() > kShown) {
    fmt::format_to(std::back_inserter(out),
                   "<p class=\"note\">The first {} of {}; report.json lists every one.</p>\n",
                   kShown, refusals.size());
  }
}

void metrics_table(std::string& out, const Metrics& m) {
  const auto row = [&out](std::string_view id, std::string_view name, const std::string& value) {
    fmt::format_to(std::back_inserter(out), "<tr id=\"m-{}\"><th>{}</th><td>{}</td></tr>\n", id,
                   name, value);
  };
  const auto ratio_name = [&m](std::string_view name) {
    return m.periods_per_year ? fmt::format("{} (annualised)", name)
                              : fmt::format("{} (per bar)", name);
  };
  out += "<table id=\"metrics\">\n";
  row("trades", "Trades",
      fmt::format("{} ({} won, {} lost, {} breakeven)", m.trades, m.wins, m.losses, m.breakeven));
  row("win-rate", "Win rate", fmt::format("{:.2f} % of won and lost", m.win_rate));
  row("gross", "Gross P&amp;L (before costs)", money(m.gross_pnl));
  row("commission", "Commission (fees)", money(m.commission));
  row("slippage", "Slippage", money(m.slippage));
  row("net", "Net P&amp;L", money(m.net_pnl));
  row("trade-pnl", "Closed trades&#39; P&amp;L (net)", money(m.total_pnl));
  row("average", "Average trade (net)", money(m.average_trade));
  row("initial", "Initial equity", money(m.initial_equity));
  row("final", "Final equity", money(m.final_equity));
  row("return", "Return", fmt::format("{:.2f} %", m.return_percent));
  row("drawdown", "Maximum drawdown",
      fmt::format("{} ({:.2f} %)", money(m.max_drawdown), m.max_drawdown_percent));
  row("drawdown-duration", "Maximum drawdown duration",
      fmt::format("{} bars, {:.0f} s ({:.2f} days)", m.max_drawdown_duration_bars,
                  m.max_drawdown_duration_seconds, m.max_drawdown_duration_seconds / 86400));
  row("sharpe", ratio_name("Sharpe ratio"), fmt::format("{:.4f}", m.sharpe_ratio));
  row("sortino", ratio_name("Sortino ratio"), fmt::format("{:.4f}", m.sortino_ratio));
  row("exposure", "Exposure", fmt::format("{:.2f} % of {} bars", m.exposure, m.bars));
  out += "</table>\n";
  fmt::format_to(std::back_inserter(out), "<p id=\"annualisation\" class=\"note\">{}.</p>\n",
                 escaped(m.annualisation));
  out +=
      "<p class=\"note\">Net P&amp;L is the change of equity; equity, drawdown, the ratios and "
      "every trade are net of commission and slippage. Gross = net + commission + slippage. A "
      "trade that made 0.00 is neither won nor lost.</p>\n";
}

constexpr std::string_view STYLE = R"css(
body { font: 14px/1.4 system-ui, sans-serif; margin: 24px; color: #222; background: #fafafa; }
h1 { font-size: 20px; } h2 { font-size: 16px; margin: 20px 0 6px; }
.note { color: #555; font-size: 13px; max-width: 1000px; }
.ruin { color: #fff; background: #d1242f; padding: 6px 10px; font-weight: 600; max-width: 980px; }
.chart { width: 100%; max-width: 1000px; height: auto; background: #fff; display: block;
  user-select: none; cursor: crosshair; }
.frame { fill: none; stroke: #bbb; } .grid { stroke: #eee; }
.axis, .empty { font-size: 11px; fill: #555; } .title { font-size: 12px; fill: #333; }
.series { fill: none; stroke-width: 1.2; stroke-linejoin: round; }
#price-series { stroke: #555; } #equity-series { stroke: #1f6feb; }
#drawdown-series { stroke: #d1242f; }
.trade { stroke-width: 1; stroke-dasharray: 3 2; } .trade.win { stroke: #1a7f37; }
.trade.loss { stroke: #d1242f; } .trade.flat { stroke: #888; }
.entry.long { fill: #1a7f37; } .entry.short { fill: #d1242f; }
.exit { fill: #fff; stroke: #222; stroke-width: 1.5; }
.selection { fill: #1f6feb22; stroke: #1f6feb; }
#zoom { margin: 6px 0; } #zoom button, #pager button { margin-right: 4px; }
table { border-collapse: collapse; background: #fff; }
th, td { padding: 3px 10px; border-bottom: 1px solid #eee; text-align: right;
  white-space: nowrap; }
#metrics th { text-align: left; font-weight: normal; color: #555; }
tr.win td.pnl { color: #1a7f37; } tr.loss td.pnl { color: #d1242f; } tr.flat td.pnl { color: #888; }
)css";

// Draws the charts and the trade pages from the data above it. Every chart shares one view,
// a range of the series as fractions [a, b]; dragging across a chart zooms to what was
// dragged over.
constexpr std::string_view SCRIPT = R"js(
"use strict";
(function () {
const D = JSON.parse(document.getElementById("report-data").textContent);
const W = 1000, H = 280, L = 84, R = 14, T = 14, B = 40, PW = W - L - R, PH = H - T - B;
const MAX_MARKS = 150, PAGE = 50, NS = "http://www.w3.org/2000/svg";
const originMs = Date.parse(D.origin + "Z");
const when = (s) => isFinite(originMs) ? new Date(originMs + s * 1000).toISOString()
  .slice(0, 19).replace("T", " ") : String(s);
const at = (units) => when(units * D.unit);
let view = [0, 1];

function norm(s) {
  const lo = s.v || s.lo || [], hi = s.v || s.hi || [];
  return { n: s.n, t: s.t, lo: lo, hi: hi, k: lo.length };
}
const series = { price: norm(D.price), equity: norm(D.equity), drawdown: norm(D.drawdown) };
// The price's fine level, decoded the first time a zoom needs it.
let fine = null;
function finePrice() {
  if (fine || !D.price.fine) return fine;
  const f = D.price.fine, q = Math.pow(10, f.d), t = [], lo = [], hi = [], hf = [];
  for (let r = 0, time = 0; r < f.dt.length; r += 2)
    for (let j = 0; j < f.dt[r + 1]; j++) t.push(time += f.dt[r]);
  let low = 0;
  for (let i = 0; i < f.k; i++) {
    low += f.lo[i];
    const span = f.span ? f.span[i] : 0;
    lo.push(low / q);
    hi.push((low + Math.abs(span)) / q);
    hf.push(span < 0);
  }
  fine = { n: D.price.n, t: t, lo: lo, hi: hi, hf: hf, k: f.k };
  return fine;
}
// The level a chart draws from: the finer one once the coarse one has fewer spans in view
// than the chart has columns.
function level(name) {
  const s = series[name];
  if (name !== "price" || (view[1] - view[0]) * s.k >= PW) return s;
  return finePrice() || s;
}
// The span of a level that holds bar b: the last one starting at or before it.
const spanOf = (s, b) => s.k === s.n ? b : Math.ceil((b + 1) * s.k / s.n) - 1;

function el(parent, name, attrs, text) {
  const e = document.createElementNS(NS, name);
  for (const k in attrs) e.setAttribute(k, attrs[k]);
  if (text !== undefined) e.textContent = text;
  parent.appendChild(e);
  return e;
}

// Round steps for the value axis: 1, 2 or 5 times a power of ten.
function niceStep(span, count) {
  const raw = span / count, p = Math.pow(10, Math.floor(Math.log10(raw)));
  const f = raw / p;
  return (f <= 1 ? 1 : f <= 2 ? 2 : f <= 5 ? 5 : 10) * p;
}
function label(v, step) {
  const digits = Math.max(0, Math.min(6, -Math.floor(Math.log10(step) + 1e-9)));
  return v.toFixed(digits);
}

function visible(s) {
  const i0 = Math.max(0, Math.floor(view[0] * s.k));
  const i1 = Math.min(s.k, Math.max(i0 + 1, Math.ceil(view[1] * s.k)));
  return [i0, i1];
}

function draw(name, yTitle, extra) {
  const svg = document.getElementById(name + "-chart"), s = level(name);
  svg.replaceChildren();
  el(svg, "rect", { class: "frame", x: L, y: T, width: PW, height: PH });
  el(svg, "text", { class: "title", x: 14, y: T + PH / 2, "text-anchor": "middle",
    transform: "rotate(-90 14 " + (T + PH / 2) + ")" }, yTitle);
  el(svg, "text", { class: "title", x: L + PW / 2, y: H - 4, "text-anchor": "middle" }, "Time");
  if (s.k === 0) {
    el(svg, "text", { class: "empty", x: W / 2, y: H / 2, "text-anchor": "middle" }, "No data");
    return null;
  }
  const [i0, i1] = visible(s), count = i1 - i0;
  const x = (i) => count < 2 ? L + PW / 2 : L + PW * (i - i0) / (count - 1);
  let low = Infinity, high = -Infinity;
  for (let i = i0; i < i1; i++) { low = Math.min(low, s.lo[i]); high = Math.max(high, s.hi[i]); }
  if (extra) for (const v of extra.values) { low = Math.min(low, v); high = Math.max(high, v); }
  if (name === "drawdown") high = Math.max(high, 0);
  if (!(high > low)) { const pad = Math.max(1, Math.abs(low) * 0.01); low -= pad; high += pad; }
  const y = (v) => T + PH * (high - v) / (high - low);
  // Value grid and ticks.
  const step = niceStep(high - low, 5);
  for (let v = Math.ceil(low / step) * step; v <= high + step * 1e-9; v += step) {
    el(svg, "line", { class: "grid", x1: L, x2: L + PW, y1: y(v).toFixed(1), y2: y(v).toFixed(1) });
    el(svg, "text", { class: "axis", x: L - 6, y: (y(v) + 4).toFixed(1), "text-anchor": "end" },
      label(v, step));
  }
  // Time grid: six ticks across the view.
  const ticks = Math.min(6, count);
  for (let j = 0; j < ticks; j++) {
    const i = ticks < 2 ? i0 : Math.round(i0 + (count - 1) * j / (ticks - 1));
    const xi = x(i).toFixed(1);
    el(svg, "line", { class: "grid", x1: xi, x2: xi, y1: T, y2: T + PH });
    el(svg, "text", { class: "axis", x: xi, y: T + PH + 14,
      "text-anchor": j === 0 ? "start" : j === ticks - 1 ? "end" : "middle" },
      when(s.t[i]).slice(0, 16));
  }
  // The line: each bucket where they fit, else the low and high of each pixel column.
  const points = [];
  // The low and the high in the order they came, where that is known.
  const add = (xv, lo, hi, highFirst) => {
    const first = highFirst ? hi : lo, second = highFirst ? lo : hi;
    points.push(xv.toFixed(2) + "," + y(first).toFixed(2));
    if (hi !== lo) points.push(xv.toFixed(2) + "," + y(second).toFixed(2));
  };
  const hf = (i) => s.hf ? s.hf[i] : false;
  if (count <= PW) {
    for (let i = i0; i < i1; i++) add(x(i), s.lo[i], s.hi[i], hf(i));
  } else {
    for (let c = 0; c < PW; c++) {
      const a = i0 + Math.floor(count * c / PW), b = i0 + Math.floor(count * (c + 1) / PW);
      let lo = Infinity, hi = -Infinity, iLo = a, iHi = a;
      for (let i = a; i < b; i++) {
        if (s.lo[i] < lo) { lo = s.lo[i]; iLo = i; }
        if (s.hi[i] > hi) { hi = s.hi[i]; iHi = i; }
      }
      if (b > a) add(L + c + 0.5, lo, hi, iHi < iLo || (iHi === iLo && hf(iHi)));
    }
  }
  // Nothing drawn spills out of the plot: lines of trades that began before the view.
  const clip = el(el(svg, "defs", {}), "clipPath", { id: name + "-plot" });
  el(clip, "rect", { x: L - 7, y: T - 12, width: PW + 14, height: PH + 24 });
  el(svg, "polyline", { id: name + "-series", class: "series", points: points.join(" "),
    "data-buckets": String(count) });
  return { svg: svg, x: x, y: y, i0: i0, i1: i1, s: s };
}

function outcome(pnl) { return pnl > 0 ? "win" : pnl < 0 ? "loss" : "flat"; }

function drawPrice() {
  const s = level("price");
  const [i0, i1] = s.k ? visible(s) : [0, 0];
  const shown = D.trades.filter((t) => t[0] >= 0 && spanOf(s, t[1]) >= i0 && spanOf(s, t[0]) < i1);
  const marks = shown.length <= MAX_MARKS ? shown : [];
  const values = [];
  for (const t of marks) values.push(t[6], t[7]);
  const c = draw("price", "Price", { values: values });
  const note = document.getElementById("marks-note");
  note.textContent = shown.length > MAX_MARKS
    ? shown.length + " trades in this range: zoom in to at most " + MAX_MARKS + " to see them"
    : shown.length + " trades in this range";
  if (!c) return;
  const g = el(c.svg, "g", { id: "trade-marks", "clip-path": "url(#price-plot)" });
  for (const t of marks) {
    const x0 = c.x(spanOf(s, t[0])), y0 = c.y(t[6]), x1 = c.x(spanOf(s, t[1])), y1 = c.y(t[7]);
    const title = (t[4] > 0 ? "LONG " : "SHORT ") + t[5] + " " + D.symbols[t[12]] + " @ " +
      t[6] + " -> " + t[7] + " (" + at(t[3]) + "), pnl " + t[8].toFixed(2);
    el(g, "line", { class: "trade " + outcome(t[8]), x1: x0.toFixed(2), y1: y0.toFixed(2),
      x2: x1.toFixed(2), y2: y1.toFixed(2) });
    const entry = el(g, "path", { class: "entry " + (t[4] > 0 ? "long" : "short"),
      d: "M" + x0.toFixed(2) + "," + y0.toFixed(2) + " l-6," + (t[4] > 0 ? 10 : -10) + " h12 z" });
    el(entry, "title", {}, "entry: " + title);
    const exit = el(g, "circle", { class: "exit", cx: x1.toFixed(2), cy: y1.toFixed(2), r: 4 });
    el(exit, "title", {}, "exit: " + title);
  }
}

function drawAll() {
  drawPrice();
  draw("equity", "Equity");
  draw("drawdown", "Drawdown");
  const s = series.price.k ? level("price") : series.equity;
  const range = document.getElementById("zoom-range");
  if (s.k) {
    const [i0, i1] = visible(s);
    range.textContent = when(s.t[i0]) + " to " + when(s.t[i1 - 1]) +
      (view[0] > 0 || view[1] < 1 ? " (zoomed)" : "");
  }
}

function setView(a, b) {
  const k = Math.max(finePrice() ? fine.k : series.price.k, series.equity.k, 1), least = 2 / k;
  if (b - a < least) { const m = (a + b) / 2; a = m - least / 2; b = m + least / 2; }
  if (a < 0) { b -= a; a = 0; }
  if (b > 1) { a -= b - 1; b = 1; }
  view = [Math.max(0, a), Math.min(1, b)];
  drawAll();
}

// Dragging across a chart zooms to the part dragged over.
for (const name of ["price", "equity", "drawdown"]) {
  const svg = document.getElementById(name + "-chart");
  let start = null, box = null;
  const pointer = (e) => {
    const r = svg.getBoundingClientRect();
    return Math.max(L, Math.min(L + PW, (e.clientX - r.left) * W / r.width));
  };
  svg.addEventListener("mousedown", (e) => {
    start = pointer(e);
    box = el(svg, "rect", { class: "selection", x: start, y: T, width: 0, height: PH });
  });
  svg.addEventListener("mousemove", (e) => {
    if (start === null) return;
    const now = pointer(e);
    box.setAttribute("x", Math.min(start, now));
    box.setAttribute("width", Math.abs(now - start));
  });
  window.addEventListener("mouseup", (e) => {
    if (start === null) return;
    const end = pointer(e), a = Math.min(start, end), b = Math.max(start, end);
    start = null;
    if (b - a < 4) { drawAll(); return; }
    const span = view[1] - view[0];
    setView(view[0] + span * (a - L) / PW, view[0] + span * (b - L) / PW);
  });
}
const span = () => view[1] - view[0];
document.getElementById("zoom-all").onclick = () => setView(0, 1);
document.getElementById("zoom-out").onclick = () =>
  setView(view[0] - span() / 2, view[1] + span() / 2);
document.getElementById("zoom-in").onclick = () =>
  setView(view[0] + span() / 4, view[1] - span() / 4);
document.getElementById("pan-left").onclick = () =>
  setView(view[0] - span() / 2, view[1] - span() / 2);
document.getElementById("pan-right").onclick = () =>
  setView(view[0] + span() / 2, view[1] + span() / 2);

// The trades, a page at a time.
let page = 0;
const pages = Math.max(1, Math.ceil(D.trades.length / PAGE));
function showPage(p) {
  page = Math.max(0, Math.min(pages - 1, p));
  const body = document.getElementById("trades").tBodies[0];
  body.replaceChildren();
  const cents = (v) => v === null ? "" : v.toFixed(2);
  for (let i = page * PAGE; i < Math.min(D.trades.length, (page + 1) * PAGE); i++) {
    const t = D.trades[i], tr = body.insertRow();
    tr.className = outcome(t[8]);
    const cells = [i + 1, D.symbols[t[12]], t[4] > 0 ? "LONG" : "SHORT", t[5], at(t[2]), t[6],
      at(t[3]), t[7], t[8].toFixed(2), t[9].toFixed(2), cents(t[10]), cents(t[11])];
    cells.forEach((v, j) => {
      const td = tr.insertCell();
      td.textContent = String(v);
      if (j === 8) td.className = "pnl";
    });
  }
  document.getElementById("page").textContent = D.trades.length === 0 ? "no trades"
    : "page " + (page + 1) + " of " + pages + " (" + D.trades.length + " trades)";
}
document.getElementById("page-first").onclick = () => showPage(0);
document.getElementById("page-prev").onclick = () => showPage(page - 1);
document.getElementById("page-next").onclick = () => showPage(page + 1);
document.getElementById("page-last").onclick = () => showPage(pages - 1);

// "#view=A,B" opens the page zoomed to that part (fractions of the run), e.g. from a link.
const asked = /^#view=([0-9.]+),([0-9.]+)$/.exec(location.hash);
if (asked && +asked[2] > +asked[1]) setView(+asked[1], +asked[2]); else drawAll();
showPage(0);
document.body.dataset.drawn = "1";
})();
)js";

}  // namespace

std::string report_html(const BacktestResult& result) {
  const Metrics metrics = Metrics::compute(result);
  const std::string title = escaped(result.title.empty() ? "Backtest" : result.title);

  std::string out;
  out.reserve(16384 + 70 * result.trades.size() + 40 * 3 * kBuckets + 12 * kFineBuckets);
  out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  fmt::format_to(std::back_inserter(out), "<title>{} - backtest report</title>\n", title);
  out += "<style>";
  out += STYLE;
  out += "</style>\n</head>\n<body>\n";
  fmt::format_to(std::back_inserter(out), "<h1>{}</h1>\n", title);
  if (metrics.ruined_at_bar) {
    const EquityPoint& at = result.equity_curve[*metrics.ruined_at_bar];
    fmt::format_to(std::back_inserter(out),
                   "<p id=\"ruin\" class=\"ruin\">Ruined at bar {} ({}): equity {}. The run "
                   "stopped there; the figures cover the bars up to it.</p>\n",
                   *metrics.ruined_at_bar, iso_text(at.time), money(at.equity));
  }
  out +=
      "<noscript><p class=\"ruin\">The charts and the trade list are drawn by the page's own "
      "script; report.json holds every figure.</p></noscript>\n";
  metrics_table(out, metrics);
  out +=
      "<h2>Price and trades</h2>\n<div id=\"zoom\"><button id=\"zoom-all\">All</button>"
      "<button id=\"zoom-in\">Zoom in</button><button id=\"zoom-out\">Zoom out</button>"
      "<button id=\"pan-left\">&#9664;</button><button id=\"pan-right\">&#9654;</button> "
      "<span id=\"zoom-range\"></span> <span class=\"note\">(drag across a chart to zoom "
      "in)</span></div>\n";
  const auto chart = [&out](std::string_view name) {
    fmt::format_to(std::back_inserter(out),
                   "<svg id=\"{}-chart\" class=\"chart\" viewBox=\"0 0 1000 280\" "
                   "xmlns=\"http://www.w3.org/2000/svg\" role=\"img\"></svg>\n",
                   name);
  };
  if (!result.price_symbol.empty())
    fmt::format_to(std::back_inserter(out), "<p class=\"note\">Prices of {} and its trades</p>\n",
                   escaped(result.price_symbol));
  chart("price");
  out += "<p id=\"marks-note\" class=\"note\"></p>\n<h2>Equity</h2>\n";
  chart("equity");
  out += "<h2>Drawdown</h2>\n";
  chart("drawdown");
  out +=
      "<h2>Trades</h2>\n<div id=\"pager\"><button id=\"page-first\">First</button>"
      "<button id=\"page-prev\">Previous</button><button id=\"page-next\">Next</button>"
      "<button id=\"page-last\">Last</button> <span id=\"page\"></span></div>\n"
      "<table id=\"trades\"><thead><tr><th>#</th><th>Symbol</th><th>Side</th><th>Qty</th>"
      "<th>Entry time</th><th>Entry</th><th>Exit time</th><th>Exit</th><th>P&amp;L</th>"
      "<th>P&amp;L %</th><th>Commission</th><th>Slippage</th></tr></thead><tbody></tbody>"
      "</table>\n";
  refusals_table(out, result.refusals);
  out += "<script id=\"report-data\" type=\"application/json\">";
  append_data(out, result);
  out += "</script>\n<script>";
  out += SCRIPT;
  out += "</script>\n</body>\n</html>\n";
  return out;
}

}  // namespace tolbu_sdk::backtest

// The live dashboard: a page that polls "/status", "/progress", "/report", "/orders",
// "/trades" and "/logs" of the server that served it. It works the same for a live run and a
// backtest, since both answer the same routes; it reads the layouts of the SDK's records and
// falls back to showing whatever keys a runtime answers.

#include "dashboard_page.hpp"

namespace tolbu_sdk::control_server {

const std::string& dashboard_page() {
  static const std::string page = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tolbu strategy dashboard</title>
<style>
body { font: 14px/1.4 system-ui, sans-serif; margin: 0; color: #222; background: #f4f5f7; }
header { display: flex; gap: 16px; align-items: center; padding: 10px 20px; background: #24292f;
  color: #fff; }
header h1 { font-size: 17px; margin: 0; flex: 1; }
#status { padding: 2px 10px; border-radius: 10px; background: #57606a; font-weight: 600; }
#status.RUNNING { background: #1a7f37; } #status.STOPPING, #status.STOPPED { background: #9a6700; }
#status.ERROR, #status.FAILED { background: #d1242f; }
#connection { font-size: 12px; color: #ffb3b3; }
#updated { font-size: 12px; color: #c9d1d9; }
main { display: grid; grid-template-columns: repeat(auto-fit, minmax(420px, 1fr)); gap: 14px;
  padding: 14px 20px; }
section { background: #fff; border-radius: 6px; padding: 10px 14px; box-shadow: 0 1px 2px #0002;
  min-width: 0; }
section.wide { grid-column: 1 / -1; }
h2 { font-size: 14px; margin: 0 0 8px; color: #57606a; }
.bar { height: 14px; background: #eaeef2; border-radius: 7px; overflow: hidden; }
#progress-bar { height: 100%; width: 0; background: #1f6feb; transition: width .3s; }
.figures { display: flex; gap: 24px; flex-wrap: wrap; }
.figure b { display: block; font-size: 20px; }
.figure span { font-size: 12px; color: #57606a; }
.up { color: #1a7f37; } .down { color: #d1242f; }
#equity-chart { width: 100%; height: 220px; display: block; }
#equity-series { fill: none; stroke: #1f6feb; stroke-width: 1.5; }
.frame { fill: none; stroke: #d0d7de; } .axis { font-size: 11px; fill: #57606a; }
table { border-collapse: collapse; width: 100%; font-size: 12px; }
th, td { text-align: left; padding: 2px 6px; border-bottom: 1px solid #eaeef2;
  white-space: nowrap; }
.scroll { max-height: 260px; overflow: auto; }
#logs { margin: 0; font: 12px/1.35 ui-monospace, monospace; max-height: 300px; overflow: auto;
  white-space: pre-wrap; }
.empty { color: #8c959f; }
</style>
</head>
<body>
<header>
  <h1>Tolbu strategy dashboard</h1>
  <span id="connection"></span>
  <span id="updated"></span>
  <span id="status">...</span>
</header>
<main>
  <section class="wide">
    <h2>Progress</h2>
    <div class="bar"><div id="progress-bar"></div></div>
    <div id="progress-text">0.0 %</div>
  </section>
  <section>
    <h2>P&amp;L</h2>
    <div class="figures">
      <div class="figure"><b id="pnl">0.00</b><span>net P&amp;L</span></div>
      <div class="figure"><b id="trade-count">0</b><span>trades</span></div>
      <div class="figure"><b id="win-rate">-</b><span>win rate</span></div>
      <div class="figure"><b id="drawdown">-</b><span>max drawdown</span></div>
      <div class="figure"><b id="return">-</b><span>return</span></div>
      <div class="figure"><b id="sharpe">-</b><span>Sharpe</span></div>
      <div class="figure"><b id="costs">-</b><span>commission + slippage</span></div>
    </div>
    <h2 style="margin-top:12px">Open position</h2>
    <div id="position" class="empty">none</div>
  </section>
  <section>
    <h2>Equity curve</h2>
    <svg id="equity-chart" viewBox="0 0 600 220" preserveAspectRatio="none"
      xmlns="http://www.w3.org/2000/svg">
      <rect class="frame" x="76" y="8" width="516" height="188"></rect>
      <text id="equity-high" class="axis" x="72" y="18" text-anchor="end"></text>
      <text id="equity-low" class="axis" x="72" y="196" text-anchor="end"></text>
      <text id="equity-first" class="axis" x="76" y="214"></text>
      <text id="equity-last" class="axis" x="592" y="214" text-anchor="end"></text>
      <polyline id="equity-series" points=""></polyline>
    </svg>
  </section>
  <section>
    <h2>Recent orders</h2>
    <div class="scroll"><table id="orders"><thead></thead><tbody></tbody></table></div>
  </section>
  <section>
    <h2>Trades</h2>
    <div class="scroll"><table id="trades"><thead></thead><tbody></tbody></table></div>
  </section>
  <section class="wide">
    <h2>Log</h2>
    <pre id="logs" class="empty">no lines yet</pre>
  </section>
</main>
<script>
"use strict";
const POLL_MS = 1000, ROWS = 20, LOG_LINES = 100, MAX_CHART_POINTS = 2000;
const ORDER_KEYS = ["createdTime", "created_time", "symbol", "side", "orderType", "order_type",
  "price", "qty", "quantity", "filledQty", "filled_qty", "avgPrice", "avg_price", "status",
  "orderID", "order_id"];
const TRADE_KEYS = ["exit_time", "tradeTime", "trade_time", "symbol", "side", "quantity", "qty",
  "entry_price", "exit_price", "price", "pnl", "pnl_percent", "fee", "fees", "commission",
  "slippage"];

const $ = (id) => document.getElementById(id);
const num = (v) => typeof v === "number" && isFinite(v);
const fixed = (v, digits = 2) => num(v) ? v.toFixed(digits) : "-";
// Axis labels fit the margin: large values in thousands, millions or billions, with the
// decimals that tell the top of the range from the bottom.
function compact(v, span) {
  if (!num(v)) return "";
  const a = Math.abs(v);
  const [unit, suffix] = a >= 1e9 ? [1e9, "G"] : a >= 1e6 ? [1e6, "M"] : a >= 1e4 ? [1e3, "k"]
    : [1, ""];
  const need = num(span) && span > 0 ? Math.ceil(-Math.log10(span / unit)) + 1 : 0;
  const digits = Math.max(unit === 1 ? 2 : 1, Math.min(6, need));
  return (v / unit).toFixed(digits) + suffix;
}
// Colour codes of a terminal's log lines mean nothing here.
const ANSI = /\x1b\[[0-9;?]*[ -\/]*[@-~]/g;
const plain = (line) => (typeof line === "string" ? line : JSON.stringify(line)).replace(ANSI, "");

async function getJson(path) {
  const response = await fetch(path, { cache: "no-store" });
  if (!response.ok) throw new Error(path + ": HTTP " + response.status);
  return response.json();
}

// Epoch milliseconds of the back end's records become readable local times.
function cell(key, value) {
  if (value === null || value === undefined) return "";
  if (num(value) && /time$/i.test(key) && value > 1e11) return new Date(value).toLocaleString();
  if (num(value)) return String(Math.round(value * 1e4) / 1e4);
  if (typeof value === "object") return JSON.stringify(value);
  return String(value);
}

function fillTable(table, rows, preferred) {
  const head = table.tHead, body = table.tBodies[0];
  head.replaceChildren();
  body.replaceChildren();
  const recent = rows.slice(-ROWS).reverse();
  if (recent.length === 0) {
    const td = body.insertRow().insertCell();
    td.textContent = "none yet";
    td.className = "empty";
    return;
  }
  const objects = recent.every((r) => r && typeof r === "object" && !Array.isArray(r));
  let keys = ["value"];
  if (objects) {
    keys = preferred.filter((k) => recent.some((r) => k in r));
    if (keys.length === 0) keys = Object.keys(recent[0]).slice(0, 8);
  }
  const hr = head.insertRow();
  for (const k of keys) hr.appendChild(document.createElement("th")).textContent = k;
  for (const r of recent) {
    const tr = body.insertRow();
    for (const k of keys) {
      const td = tr.insertCell();
      td.textContent = objects ? cell(k, r[k]) : cell(k, r);
      if (k === "pnl" && num(r[k])) td.className = r[k] >= 0 ? "up" : "down";
    }
  }
}

// A runtime's curve points hold "equity" (backtest) or "pnl" (live ledger).
function pointValue(p) {
  if (num(p)) return p;
  if (!p || typeof p !== "object") return NaN;
  for (const k of ["equity", "pnl", "value"]) if (num(p[k])) return p[k];
  return NaN;
}

function drawEquity(curve) {
  const points = (Array.isArray(curve) ? curve : []).filter((p) => num(pointValue(p)));
  const step = Math.max(1, Math.ceil(points.length / MAX_CHART_POINTS));
  const shown = points.filter((_, i) => i % step === 0 || i === points.length - 1);
  const values = shown.map(pointValue);
  const line = $("equity-series");
  line.setAttribute("data-total", String(points.length));
  if (values.length === 0) {
    line.setAttribute("points", "");
    for (const id of ["equity-high", "equity-low", "equity-first", "equity-last"])
      $(id).textContent = "";
    return;
  }
  let low = Math.min(...values), high = Math.max(...values);
  if (!(high > low)) { const pad = Math.max(1, Math.abs(low) * 0.01); low -= pad; high += pad; }
  const x = (i) => values.length < 2 ? 334 : 76 + 516 * i / (values.length - 1);
  const y = (v) => 8 + 188 * (high - v) / (high - low);
  line.setAttribute("points",
    values.map((v, i) => x(i).toFixed(1) + "," + y(v).toFixed(1)).join(" "));
  $("equity-high").textContent = compact(high, high - low);
  $("equity-low").textContent = compact(low, high - low);
  const time = (p) => (p && typeof p === "object" && p.time !== undefined) ? String(p.time) : "";
  $("equity-first").textContent = time(shown[0]);
  $("equity-last").textContent = time(shown[shown.length - 1]);
}

// The kit's report lists every open holding: one is shown as a position, several as a list.
function fromHoldings(list) {
  if (!Array.isArray(list) || list.length === 0) return null;
  if (list.length > 1) return { text: list.map((h) => h.symbol + " " + h.qty).join(", ") };
  const h = list[0];
  return { side: h.qty > 0 ? "LONG" : "SHORT", quantity: Math.abs(h.qty), symbol: h.symbol,
    entry_price: h.avg_price, unrealized_pnl: h.unrealized_pnl };
}

function showPosition(position) {
  const box = $("position");
  if (!position || typeof position !== "object" || Object.keys(position).length === 0) {
    box.textContent = "none";
    box.className = "empty";
    return;
  }
  if (typeof position.text === "string") {
    box.textContent = position.text;
    box.className = "";
    return;
  }
  const parts = [position.side, position.quantity, position.symbol];
  let text = parts.filter((p) => p !== undefined).join(" ");
  if (num(position.entry_price)) text += " @ " + fixed(position.entry_price);
  if (num(position.current_price)) text += ", now " + fixed(position.current_price);
  if (num(position.unrealized_pnl)) text += ", unrealised " + fixed(position.unrealized_pnl);
  box.textContent = text || JSON.stringify(position);
  box.className = num(position.unrealized_pnl) ? (position.unrealized_pnl >= 0 ? "up" : "down") : "";
}

function showFigures(report, trades) {
  const metrics = report && typeof report.metrics === "object" ? report.metrics : {};
  // A backtest's report has the net P&L (equity's change, open positions included); a live
  // ledger has the closed trades' sum and the open position's unrealised result.
  let total = metrics.net_pnl;
  if (!num(total)) {
    let pnl = metrics.total_pnl;
    if (!num(pnl)) pnl = trades.reduce((sum, t) => sum + (t && num(t.pnl) ? t.pnl : 0), 0);
    const unrealised = report && report.open_position && num(report.open_position.unrealized_pnl)
      ? report.open_position.unrealized_pnl : 0;
    total = pnl + unrealised;
  }
  $("pnl").textContent = fixed(total);
  $("pnl").className = total >= 0 ? "up" : "down";
  $("trade-count").textContent = String(num(metrics.trades) ? metrics.trades : trades.length);
  $("win-rate").textContent = num(metrics.win_rate) ? fixed(metrics.win_rate, 1) + " %" : "-";
  $("drawdown").textContent = num(metrics.max_drawdown)
    ? fixed(metrics.max_drawdown) + (num(metrics.max_drawdown_percent)
      ? " (" + fixed(metrics.max_drawdown_percent, 1) + " %)" : "") : "-";
  $("return").textContent = num(metrics.return_percent) ? fixed(metrics.return_percent) + " %" : "-";
  $("sharpe").textContent = num(metrics.sharpe_ratio) ? fixed(metrics.sharpe_ratio, 3) : "-";
  $("costs").textContent = num(metrics.commission) && num(metrics.slippage)
    ? fixed(metrics.commission) + " + " + fixed(metrics.slippage) : "-";
}

function showLogs(lines) {
  const box = $("logs");
  const atBottom = box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
  box.textContent = lines.length === 0 ? "no lines yet"
    : lines.map(plain).join("\n");
  box.className = lines.length === 0 ? "empty" : "";
  if (atBottom) box.scrollTop = box.scrollHeight;
}

// A long run's report is large and the server answers one request at a time: it is asked
// for again only after ten times as long as it took, so the page never keeps the server busy.
let lastReport = null, reportDue = 0;
async function fetchReport() {
  if (Date.now() < reportDue) return lastReport;
  const start = Date.now();
  try {
    lastReport = await getJson("/report");
    return lastReport;
  } finally {
    reportDue = Date.now() + Math.max(POLL_MS, 10 * (Date.now() - start));
  }
}

// Each route is shown on its own, so one failing route does not blank the others.
async function refresh() {
  const names = ["status", "progress", "report", "orders", "trades", "logs"];
  const paths = ["/status", "/progress", "/report", "/orders", "/trades",
    "/logs?limit=" + LOG_LINES];
  const results = await Promise.allSettled(
    paths.map((p) => p === "/report" ? fetchReport() : getJson(p)));
  const data = {}, failed = [];
  results.forEach((r, i) => {
    if (r.status === "fulfilled") data[names[i]] = r.value; else failed.push(paths[i]);
  });
  if (data.status) {
    const status = typeof data.status.status === "string" ? data.status.status
      : JSON.stringify(data.status.status);
    $("status").textContent = status;
    $("status").className = status;
  }
  if (data.progress) {
    const p = num(data.progress.progress) ? Math.max(0, Math.min(100, data.progress.progress)) : 0;
    $("progress-bar").style.width = p + "%";
    $("progress-text").textContent = fixed(p, 1) + " %";
  }
  const trades = data.trades && Array.isArray(data.trades.trades) ? data.trades.trades : [];
  if (data.report) {
    drawEquity(data.report.equity_curve);
    showPosition(data.report.open_position || fromHoldings(data.report.positions));
  }
  if (data.report || data.trades) showFigures(data.report || {}, trades);
  if (data.orders && Array.isArray(data.orders.orders))
    fillTable($("orders"), data.orders.orders, ORDER_KEYS);
  if (data.trades) fillTable($("trades"), trades, TRADE_KEYS);
  if (data.logs && Array.isArray(data.logs.logs)) showLogs(data.logs.logs);
  $("connection").textContent = failed.length ? "unreachable: " + failed.join(", ") : "";
  $("updated").textContent = "updated " + new Date().toLocaleTimeString();
  document.body.dataset.refreshed = String(Number(document.body.dataset.refreshed || 0) + 1);
}

async function poll() {
  try { await refresh(); } catch (e) { $("connection").textContent = String(e); }
  setTimeout(poll, POLL_MS);
}
poll();
</script>
</body>
</html>
)html";
  return page;
}

}  // namespace tolbu_sdk::control_server

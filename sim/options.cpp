#include "options.hpp"

#include "server/context.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <ostream>
#include <string_view>

namespace tolbu_sim {

std::string help_text() {
  return R"(tolbu-sim: local Tolbu back end (REST, micro API and streaming) for demos and tests

Usage: tolbu-sim [options]

Options:
  --host ADDR         address to listen on (default 127.0.0.1)
  --port N            port to listen on; 0 picks a free one (default 0). The first line on
                      stdout is "tolbu-sim listening on ADDR:PORT".
  --jwt TOKEN         bearer token required on authenticated paths (default tolbu-sim-token)
  --seed N            seed of the candle history and the live market (default 1)
  --speed X           simulated seconds per real second (default 1); 0 freezes the market
                      clock, which then moves only through POST /_sim/clock
  --tick-ms N         real milliseconds between live market ticks (default 200)
  --start-ms N        simulated start time in epoch milliseconds (default: now)
  --account ID        account used when a request leaves the account empty (default SIM0001)
  --max-candles N     largest candle answer; larger ranges answer 400 (default 200000)
  --journal-limit N   request journal size; the oldest entries are dropped (default 100000)
  --quiet             no per-request lines on stderr
  --commission-pct X  fee per fill in per cent of its value (default 0.1)
  --fee-per-contract X  fixed fee per contract filled (default 0)
  --slippage-ticks N  ticks a market order, or a limit order marketable on arrival (within
                      its limit), trades worse than the last price (default 0)
  --fill-volume-share X  replay: the most of a bar's volume that fills in that bar, across
                      the orders of its symbol, oldest first (default 0.25; 0: no limit).
                      The rest of a limit order rests and fills on later bars; the rest of a
                      market order trades at the open of each following bar, within that
                      bar's share, until it is done
  --sessions NAME     when the market trades: "all-day" (default: every minute, every day)
                      or "vn-derivatives": Monday to Friday 09:00-11:30 and 13:00-14:45
                      Asia/Ho_Chi_Minh (UTC+7, i.e. 02:00-04:30 and 06:00-07:45 UTC). The
                      price stands still outside them, candle history holds no candle
                      starting outside them (daily candles: weekdays), and a replay steps
                      only through bars that start in them
  --history-size N    streaming: publications kept per channel for recovery (default 1000;
                      0: no history, channels not recoverable)
  --history-ttl S     streaming: seconds a publication stays in the history (default 300)
  --token-ttl S       streaming: lifetime of a connection token in seconds (default 0: none);
                      the connect reply carries "expires"/"ttl", the client must "refresh",
                      else the connection is closed with 3005 "expired"
  --server-sub CH     streaming: a server-side subscription of every connection to channel
                      CH (repeatable), e.g. order:OrderExecutionReport:SIM0001
  --client-backlog B  streaming: bytes queued for a client that reads too slowly before it is
                      disconnected with 3008 "slow" (default 67108864); the socket's send
                      buffer is held within it
  --replay            backtest replay: the market clock is frozen (implies --speed 0) and
                      moves one bar at a time on the streaming connection's rpc commands
                      (see "Replay" below)
  --data SYM[:S]=FILE  SYM's candles come from the CSV file FILE instead of the generated
                      history, for the candle routes and the replay alike (repeatable, one
                      file per symbol). Columns time,open,high,low,close,volume, a header
                      line first; time in epoch ms or ISO-8601 UTC (2024-01-02T09:00:00Z).
                      The bars' length is S seconds, else the smallest spacing of two bars;
                      gaps (nights, weekends) are kept as gaps, a time off that grid is
                      refused. Every fault refuses the file (FILE:LINE: reason, exit 2).
                      A symbol not of the sim's own takes the file's decimals as its tick and
                      a lot of 1. Prices at an instant: a bar's open at its start, its close
                      after it, so orders match on the file's bars. One line per file on
                      stdout: "tolbu-sim data SYM: N bars of S s from MS to MS", then the
                      file's name in brackets.
  --help              this text

Instruments: VN30F2412 (index future), HPG, VIC, FPT; any other code gets a generated
history with tick size 10. Prices are a pure function of seed, symbol and time: the same
seed gives the same candles for any symbol, resolution and range. Each day (UTC+7) opens at
a level from a mean-reverting walk over days; within it one-minute log returns follow a
GARCH(1,1) (variance w + 0.08 r^2 + 0.90 var), tied to close at the next day's level:
one-minute changes are nearly uncorrelated and their sizes cluster. Currency "VND".

Micro API (no authentication):
  GET  /GetOhlcvHis/SYMBOL/RESOLUTION/FROM_MS/TO_MS[/COUNT_BACK]
       JSON array of candles {"time","open","high","low","close","volume"} whose start lies
       in [FROM_MS, TO_MS], aligned to RESOLUTION seconds, none after the market clock.
       With COUNT_BACK (not 0) the last COUNT_BACK candles starting at or before TO_MS.

REST API (header "Authorization: Bearer TOKEN" required, else 401 with a JSON error):
  GET  /api/v1/MarketData/GetProductMaster/SYMBOL     {"data": product master}
  GET  /api/v1/diagnostics/margin-ratios/SYMBOL       {"data": {"symbol","marginRatio"}}
  POST /api/v1/orders/new/REF/ACCOUNT/SYMBOL/SIDE/PRICE/QTY/TYPE
       types LO (limit), MTL/ATO/ATC (market: fill at the last price); side B or S
  POST /api/v1/orders/cancel/ORDER_ID
  POST /api/v1/stop-orders          body {"refOrderID","accountID","symbol","orderSide",
                                          "stopPrice","qty"[,"limitPrice"]}
  POST /api/v1/orders/bracket-order body {"symbol","side","account","quantity","orderType",
                                          "conditionPrice","conditionType","takeProfitPrice",
                                          "stopLossPrice"}
  GET  /api/v1/orders               query accountId, startTime, endTime, symbol, status
  GET  /api/v1/execution-reports
  GET  /api/v1/trades               query accountId, startTime, endTime
  GET  /api/v1/stop-orders          query accountId
  GET  /api/v1/bracket-orders       query accountId
  GET  /api/v1/accounts             the accounts' balances and positions
  Answers are {"data": ...}; failures carry {"error": TEXT} with a 4xx status.

Streaming: GET /connection/websocket (WebSocket upgrade, Centrifugo JSON protocol; the
  connection token is the --jwt token). Without the streaming side the upgrade answers 501.

Test endpoints (no authentication; never journaled, never faulted):
  GET    /_sim/health               {"status":"ok","port":N}
  GET    /_sim/journal              {"requests":[{"method","target","path","headers":{...},
                                    "body"}]} every request received, oldest first;
                                    query path_prefix=P keeps those whose path starts with P
  DELETE /_sim/journal              clears the journal
  POST   /_sim/faults               body {"count":N (default 1), "status":S (default 500),
                                    "body":TEXT, "content_type":TYPE (default
                                    application/json), "delay_ms":MS, "drop":BOOL,
                                    "path_prefix":P, "method":M}: the next N matching requests
                                    get this answer (after the delay), or with "drop" the
                                    connection is closed without one. Without "status" and
                                    "body" but with "delay_ms", the real answer is delayed.
                                    "act":true handles the request first, then drops or
                                    answers so (a back end whose gateway fails).
  GET    /_sim/faults               the pending faults
  DELETE /_sim/faults               clears every pending fault
  POST   /_sim/price                body {"symbol","price"}: sets the last price, fills
                                    crossing orders, emits market events
  POST   /_sim/clock                body {"advance_ms":N} or {"time_ms":N}: moves the clock
  POST   /_sim/tick                 one live market tick now
  GET    /_sim/clock                {"time_ms":N,"speed":X}
  POST   /_sim/reset                forgets every order, trade and position
  POST   /_sim/streaming/publish    body {"channel","data"[,"withhold"]}: one publication to
                                    its subscribers; {"delivered":N}. "withhold": true keeps
                                    it for recovery but sends it to nobody (a lost message)
  POST   /_sim/streaming/raw        body {"frame"|"frame_hex"[,"channel"]}: a WebSocket
                                    frame as given (hex: any bytes, invalid UTF-8 too)
  POST   /_sim/streaming/drop       body {["code","reason"]}: ends every connection, with a
                                    close frame of that code or abruptly
  POST   /_sim/streaming/unsubscribe body {"channel"[,"code","reason"]}: server unsubscribe
  POST   /_sim/streaming/server-subscribe body {"channel"}: server-side subscription of
                                    every connected client (subscribe push)
  POST   /_sim/streaming/restart    as a restarted server: histories gone (new epochs),
                                    every connection cut
  POST   /_sim/streaming/token      body {["ttl_ms"]}: {"token"} accepted on the stream until
                                    ttl_ms from now (default: --token-ttl), then "token expired"
  POST   /_sim/streaming/series     body {"channel","count"[,"rate","data"]}: COUNT
                                    publications at RATE/s (0: no limit); candles carrying
                                    their publish time (us) in "volume" unless "data" is given
  GET    /_sim/streaming/stats      connections, subscribers per channel, deliveries
  POST   /_sim/streaming/config     body {["ping_interval_ms","pings","replies",
                                    "deny_prefixes","max_pending_bytes","history_size",
                                    "history_ttl_ms","token_ttl_ms","late_server_subs"]};
                                    "late_server_subs": channels whose client subscribe
                                    the server overtakes with its own (105 answer)
)";
}

namespace {

template <typename T>
bool parse_number(std::string_view text, T& out) {
  if (text.empty()) return false;
  if constexpr (std::is_floating_point_v<T>) {
    std::string copy(text);
    char* end = nullptr;
    double v = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(v)) return false;
    out = static_cast<T>(v);
    return true;
  } else {
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && ptr == text.data() + text.size();
  }
}

}  // namespace

std::optional<SimOptions> parse_options(int argc, char** argv, std::ostream& out, std::ostream& err,
                                        int& exit_code) {
  SimOptions options;
  auto fail = [&](std::string_view message) -> std::optional<SimOptions> {
    err << "tolbu-sim: " << message << "\n(see tolbu-sim --help)\n";
    exit_code = 2;
    return std::nullopt;
  };
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view value;
    if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    } else if (arg != "--help" && arg != "-h" && arg != "--quiet" && arg != "--replay") {
      if (i + 1 >= argc) return fail(std::string(arg) + " needs a value");
      value = argv[++i];
    }
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      out << help_text() << SimExtension::help_all();
      exit_code = 0;
      return std::nullopt;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--replay") {
      options.replay = true;
    } else if (arg == "--host") {
      options.host = value;
    } else if (arg == "--port") {
      ok = parse_number(value, options.port);
    } else if (arg == "--jwt") {
      options.jwt = value;
    } else if (arg == "--seed") {
      ok = parse_number(value, options.seed);
    } else if (arg == "--speed") {
      ok = parse_number(value, options.speed) && options.speed >= 0;
    } else if (arg == "--tick-ms") {
      ok = parse_number(value, options.tick_ms) && options.tick_ms > 0;
    } else if (arg == "--start-ms") {
      std::int64_t ms = 0;
      ok = parse_number(value, ms);
      options.start_ms = ms;
    } else if (arg == "--account") {
      options.account = value;
      ok = !value.empty();
    } else if (arg == "--commission-pct") {
      ok = parse_number(value, options.costs.commission_pct) && options.costs.commission_pct >= 0;
    } else if (arg == "--fee-per-contract") {
      ok = parse_number(value, options.costs.fee_per_contract) &&
           options.costs.fee_per_contract >= 0;
    } else if (arg == "--slippage-ticks") {
      ok = parse_number(value, options.slippage_ticks) && options.slippage_ticks >= 0;
    } else if (arg == "--fill-volume-share") {
      ok = parse_number(value, options.fill_volume_share) && options.fill_volume_share >= 0 &&
           options.fill_volume_share <= 1;
    } else if (arg == "--sessions") {
      ok = value == "all-day" || value == "vn-derivatives";
      options.vn_sessions = value == "vn-derivatives";
    } else if (arg == "--max-candles") {
      ok = parse_number(value, options.max_candles) && options.max_candles > 0;
    } else if (arg == "--journal-limit") {
      ok = parse_number(value, options.journal_limit);
    } else if (arg == "--history-size") {
      ok = parse_number(value, options.history_size);
    } else if (arg == "--history-ttl") {
      ok = parse_number(value, options.history_ttl_s) && options.history_ttl_s > 0;
    } else if (arg == "--token-ttl") {
      ok = parse_number(value, options.token_ttl_s) && options.token_ttl_s >= 0;
    } else if (arg == "--server-sub") {
      options.server_subs.emplace_back(value);
      ok = !value.empty();
    } else if (arg == "--data") {
      // SYMBOL[:SECONDS]=FILE
      const auto eq = value.find('=');
      ok = eq != std::string_view::npos && eq > 0 && eq + 1 < value.size();
      if (ok) {
        DataFile file{.symbol = std::string(value.substr(0, eq)),
                      .path = std::string(value.substr(eq + 1)),
                      .resolution_s = std::nullopt};
        if (const auto colon = file.symbol.find(':'); colon != std::string::npos) {
          int seconds = 0;
          ok = parse_number(std::string_view(file.symbol).substr(colon + 1), seconds) &&
               seconds > 0;
          file.resolution_s = seconds;
          file.symbol.resize(colon);
        }
        ok = ok && !file.symbol.empty();
        for (const auto& other : options.data) {
          if (ok && other.symbol == file.symbol)
            return fail("--data: " + file.symbol + " is given twice");
        }
        if (ok) options.data.push_back(std::move(file));
      }
    } else if (arg == "--client-backlog") {
      ok = parse_number(value, options.client_backlog) && options.client_backlog > 0;
    } else {
      return fail("unknown option " + std::string(arg));
    }
    if (!ok) return fail("bad value for " + std::string(arg) + ": '" + std::string(value) + "'");
  }
  if (options.replay) options.speed = 0;
  return options;
}

}  // namespace tolbu_sim

// Backtest replay (--replay): the market clock stands still and moves one bar at a time, on
// the strategy's command, so that a backtest runs in lockstep with the strategy and its
// result depends only on the data, the parameters and the seed.
//
// Commands are Centrifugo "rpc" commands on a streaming connection:
//   replay.start {"symbol","resolution","from","to"} -> {"bars":N,"start":MS,"resolution":S}
//       ("symbols": [...] instead of, or beside, "symbol": several symbols in one lockstep)
//       forgets every order, trade and position, and sets the clock to the start of the first
//       bar (the first candle starting at or after "from"; bars start before "to").
//   replay.next {} -> {"bar":K} or {"done":true}
//       moves the clock to the end of bar K, matches resting orders at the price of that
//       instant, publishes bar K complete on its candle channel, then the opening candle of
//       bar K+1 (open = high = low = close = the price at that instant, volume about 0), then
//       the marker {"bar":K,"bars":N,"time":MS,"close":C} on "replay:clock". Everything a step
//       publishes reaches a subscriber before the marker.
// A symbol with a history loaded from a file (--data) steps on the file's bars only: the gaps
// between sessions are skipped, the clock moving from the end of a session's last bar to the
// start of the next session's first.
// Fill rule: while the strategy handles bar K the clock stands at the end of bar K, which is
// the start of bar K+1, so a market order fills at once at the open of bar K+1 and a limit
// order fills at that open when it crosses it. When bar K+1 closes, resting orders are
// matched against its whole range (Exchange::match_bar): a limit at its limit (at the open
// when the bar opened through it), a stop at its stop price (at the open on a gap) with the
// slippage. Inside a bar the path is unknown, so the conservative order is taken: stops and
// stop-losses first, then limits, bracket entries and take-profits, then the stop-losses of
// brackets entered in that bar; a take-profit is never taken in the bar of its entry. No
// bar fills more than --fill-volume-share of its volume per symbol: the rest of a limit
// order rests for later bars, the rest of a market order trades at the open of each
// following bar. Each part is an execution report with the cumulative filledQty.
// "capital" in replay.start sets the accounts' cash; orders the account cannot margin are
// refused ("Insufficient margin: needs X, available Y").

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "market/csv_history.hpp"
#include "market/exchange.hpp"
#include "streaming/extension.hpp"

namespace tolbu_sim {

namespace json = boost::json;

namespace {

constexpr const char* kMarkerChannel = "replay:clock";
constexpr std::uint32_t kBadRequest = 107;
constexpr std::uint32_t kMethodNotFound = 104;
constexpr std::uint64_t kMaxBars = 50'000'000;

std::optional<std::int64_t> int_field(const json::value& data, std::string_view key) {
  const auto* o = data.if_object();
  const auto* v = o ? o->if_contains(key) : nullptr;
  if (!v) return std::nullopt;
  if (v->is_int64()) return v->get_int64();
  if (v->is_uint64() && v->get_uint64() <= INT64_MAX)
    return static_cast<std::int64_t>(v->get_uint64());
  return std::nullopt;
}

json::object candle_json(const SimCandle& c) {
  return json::object{{"time", c.time}, {"open", c.open},   {"high", c.high},
                      {"low", c.low},   {"close", c.close}, {"volume", c.volume}};
}

class Replay {
 public:
  explicit Replay(SimContext& ctx) : ctx_(ctx) {}

  std::string call(std::string_view method, const json::value& data, streaming::RpcError& error) {
    if (method == "replay.start") return start(data, error);
    if (method == "replay.next") return next(error);
    error = {kMethodNotFound, "method not found"};
    return {};
  }

 private:
  std::string start(const json::value& data, streaming::RpcError& error) {
    const auto* o = data.if_object();
    const auto* s = o ? o->if_contains("symbol") : nullptr;
    const auto* list = o ? o->if_contains("symbols") : nullptr;
    const auto resolution = int_field(data, "resolution");
    const auto from = int_field(data, "from");
    const auto to = int_field(data, "to");
    auto fail = [&](std::string message) {
      error = {kBadRequest, std::move(message)};
      return std::string();
    };
    std::vector<std::string> symbols;
    if (s && s->is_string()) symbols.emplace_back(s->get_string());
    if (list && list->is_array()) {
      for (const auto& item : list->get_array()) {
        if (!item.is_string()) return fail("\"symbols\" must be texts");
        const std::string name(item.get_string());
        if (std::find(symbols.begin(), symbols.end(), name) == symbols.end())
          symbols.push_back(name);
      }
    }
    std::optional<double> capital;
    if (const auto* c = o ? o->if_contains("capital") : nullptr; c && !c->is_null()) {
      if (!c->is_number() || !(c->to_number<double>() > 0) ||
          !std::isfinite(c->to_number<double>()))
        return fail("\"capital\" must be a positive number");
      capital = c->to_number<double>();
    }
    if (symbols.empty() || !resolution || !from || !to)
      return fail(
          R"(expected {"symbol": TEXT or "symbols": [TEXT...], "resolution": S, "from": MS, "to": MS})");
    for (const auto& symbol : symbols) {
      const Instrument* in = ctx_.exchange.market().find(symbol);
      if (!in || !in->listed) return fail("unknown symbol '" + symbol + "'");
    }
    if (*resolution <= 0 || *resolution > 86400) return fail("resolution must be 1 to 86400 s");
    if (*from < 0 || *to <= *from) return fail("the range needs 0 <= from < to");
    auto& market = ctx_.exchange.market();
    const std::int64_t length = *resolution * 1000;
    const int res = static_cast<int>(*resolution);
    // The bars to step: a loaded history's own bars (gaps such as nights and weekends are
    // skipped, not filled; several such symbols step on the union of their bars), else the
    // bars that start in the market's sessions (every bar without sessions).
    std::vector<std::int64_t> times;
    bool loaded = false;
    for (const auto& symbol : symbols) {
      const CandleSeries* series = market.series(symbol);
      if (!series) continue;
      if (*resolution % series->resolution_s() != 0)
        return fail(symbol + "'s history is in " + std::to_string(series->resolution_s()) +
                    " s bars: the resolution must be a multiple of it");
      loaded = true;
      const std::int64_t aligned = (*from + length - 1) / length * length;
      auto own = series->starts(res, aligned, *to - 1, INT64_MAX);
      std::vector<std::int64_t> merged;
      std::set_union(times.begin(), times.end(), own.begin(), own.end(),
                     std::back_inserter(merged));
      times = std::move(merged);
    }
    if (!loaded) {
      for (auto t = market.next_bar(*from, res, *to); t && times.size() <= kMaxBars;
           t = market.next_bar(*t + length, res, *to)) {
        times.push_back(*t);
      }
    }
    if (times.empty()) return fail("no bar starts in the range");
    if (times.size() > kMaxBars)
      return fail("the range holds more than " + std::to_string(kMaxBars) + " bars");
    symbols_ = std::move(symbols);
    resolution_ = res;
    times_ = std::move(times);
    first_ = times_.front();
    count_ = times_.size();
    next_ = 0;
    ctx_.exchange.begin_replay(resolution_, capital);
    ctx_.exchange.set_time(first_);
    return json::serialize(
        json::object{{"bars", count_}, {"start", first_}, {"resolution", resolution_}});
  }

  std::string next(streaming::RpcError& error) {
    if (count_ == 0) {
      error = {kBadRequest, "replay.start comes first"};
      return {};
    }
    auto hub = streaming_hub(ctx_);
    if (next_ >= count_) {
      hub->publish(kMarkerChannel, json::object{{"bars", count_}, {"done", true}});
      return R"({"done":true})";
    }
    const std::uint64_t k = next_++;
    const std::int64_t length = std::int64_t{resolution_} * 1000;
    const std::int64_t start = times_[k];
    const std::int64_t end = start + length;
    auto& exchange = ctx_.exchange;
    auto& market = exchange.market();
    // The clock moves on to the next bar's start: the bar's end, the next session's open, or
    // across a loaded history's gap the next bar it holds.
    const bool more = k + 1 < count_;
    // After the last bar too: orders sent then (a final flattening) fill at the next bar's
    // open, which may be a later session's, past the range.
    const std::int64_t following =
        more ? times_[k + 1]
             : market.next_bar(end, resolution_, end + 30 * 86'400'000LL).value_or(end);
    exchange.set_time(following);
    double close = 0.0;
    std::vector<SimCandle> closed;
    for (const auto& symbol : symbols_) {
      closed.push_back(market.candle(symbol, resolution_, start, end - 1));
      const CandleSeries* series = market.series(symbol);
      if (!series || series->has_bar(resolution_, start))
        exchange.match_bar(symbol, closed.back(), !more);
    }
    for (std::size_t i = 0; i < symbols_.size(); ++i) {
      const auto& symbol = symbols_[i];
      const auto channel = Exchange::candle_channel(symbol, resolution_);
      const CandleSeries* series = market.series(symbol);
      // A loaded symbol without a bar at this step (another symbol's bar) publishes nothing.
      const SimCandle& bar = closed[i];
      if (&symbol == &symbols_.front()) close = bar.close;
      if (!series || series->has_bar(resolution_, start))
        exchange.publish(channel, candle_json(bar));
      if (more && (!series || series->has_bar(resolution_, following)))
        exchange.publish(channel,
                         candle_json(market.candle(symbol, resolution_, following, following)));
    }
    hub->publish(
        kMarkerChannel,
        json::object{
            {"bar", k}, {"bars", count_}, {"time", start}, {"close", close}, {"done", false}});
    return R"({"bar":)" + std::to_string(k) + "}";
  }

  SimContext& ctx_;
  std::vector<std::string> symbols_;  // stepped together; the marker's close is the first's
  int resolution_ = 60;
  std::int64_t first_ = 0;
  std::vector<std::int64_t> times_;  // the start of every bar to step
  std::uint64_t count_ = 0;
  std::uint64_t next_ = 0;
};

void install(SimContext& ctx) {
  if (!ctx.options.replay) return;
  const auto attach = [](SimContext& c) {
    auto hub = streaming_hub(c);
    if (!hub) return false;
    auto replay = std::make_shared<Replay>(c);
    hub->on_rpc([replay](std::string_view method, const json::value& data,
                         streaming::RpcError& error) { return replay->call(method, data, error); });
    return true;
  };
  // The streaming side installs first where the sources are in order; otherwise once every
  // extension ran. Attaching now leaves nothing queued that could outlive the context.
  if (attach(ctx)) return;
  boost::asio::post(ctx.io, [&ctx, attach] { attach(ctx); });
}

SimExtension extension{
    "replay", install,
    R"(Replay (--replay), for backtests: Centrifugo "rpc" commands on a streaming connection
  replay.start {"symbol","resolution","from","to"[,"capital"]}  forgets orders, trades and
       positions; "capital" is the accounts' cash (default 10000000000);
       "symbols": [...] steps several symbols together, in the order given;
       the clock stands at the start of the first bar (the first candle starting at or
       after "from"; bars start before "to"). Answers {"bars","start","resolution"}.
  replay.next {}   one bar: the clock moves to the start of bar K+1 (the end of bar K, or
       with --sessions the next session's open), resting orders are matched against bar
       K's range, bar K is published complete on market:OHLCV:SYMBOL:RES,
       then the opening candle of bar K+1, then {"bar","bars","time","close","done"} on
       "replay:clock". Answers {"bar":K}; after the last bar {"done":true}.
  Fills: while bar K is handled the clock stands at its end, the open of bar K+1: market
  orders fill there at once, limit orders when that price crosses them. When a bar closes,
  resting orders are matched against its high and low: a limit at its limit, a stop at its
  stop price plus the slippage, either at the open instead when the bar opened through it.
  Path inside a bar: the conservative order, the fill worse for the strategy first (stops
  and stop-losses, then limits, bracket entries and take-profits, then the stop-loss of a
  bracket entered in that bar; never its take-profit in the same bar).
  Volume: at most --fill-volume-share of a bar's volume fills in it (per symbol, oldest
  order first); a limit order's rest waits for later bars, a market order's rest trades at
  the open of each following bar. Reports carry the cumulative filledQty. After the last
  bar orders fill whole at the next bar's open (a final flattening is not left hanging).
  Margin (live too): an order adding exposure needs price x margin ratio per unit (point value 1),
  plus its fee, out of equity (cash + positions at market) less the margin of the open
  positions; else it is refused (400, and a REJECTED report): "Insufficient margin: needs
  X, available Y". A resting order's fill beyond the margin is cut, its rest cancelled with
  that reason. Reductions of a position are always allowed.
)"};

}  // namespace

}  // namespace tolbu_sim

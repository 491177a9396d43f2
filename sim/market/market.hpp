#pragma once
// Instruments and their deterministic price paths. The price of a symbol at any instant is a
// function of the seed, the symbol and the time alone, so candle history for any range and
// resolution is reproducible and consistent with the live market. Prices set by tests scale
// the path from that instant on.
//
// The model, chosen not to flatter strategies:
// - Each trading day (days of Asia/Ho_Chi_Minh, UTC+7) opens at a level of its own: a
//   mean-reverting walk over days (log level AR(1), coefficient 0.995, daily shocks of the
//   instrument's volatility), a pure function of the day.
// - Inside a day, one-minute log returns follow GARCH(1,1): variance
//   w + 0.08 r[t-1]^2 + 0.90 var[t-1], scaled so that a day moves by the instrument's
//   volatility, starting each day from a level of its own; computed forward from the day's
//   seed and tied (a constant drift per minute, a Brownian bridge) so that the day closes
//   at the next day's level. One-minute changes are then nearly uncorrelated (lag 1 within
//   +-0.05) while their sizes cluster.
// - Inside a minute the price moves on a bridge between the minute's ends, about half the
//   minute's deviation.
// - Sessions (--sessions vn-derivatives): the price moves only in the Vietnamese derivatives
//   market's continuous sessions, Monday to Friday 09:00-11:30 and 13:00-14:45 UTC+7
//   (02:00-04:30 and 06:00-07:45 UTC); it stands still in between, and candle history has no
//   candle starting outside them (daily candles: weekdays only). Without sessions every
//   minute of every day trades.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolbu_sim {

class CandleSeries;

struct Instrument {
  std::string symbol;
  std::string name;
  std::string exchange;
  std::string product_type;  // "FUTURES", "STOCK"
  double tick_size = 10;
  int lot_size = 100;
  std::string currency = "VND";
  double base_price = 10000;  // level the walk wanders around
  double volatility = 0.02;   // daily relative move, one standard deviation
  double margin_ratio = 1.0;
  double base_volume = 1000;  // traded quantity per minute, on average
  bool listed = false;        // one of the sim's own instruments (not generated on demand)
};

struct SimCandle {
  std::int64_t time = 0;  // start, epoch ms
  double open = 0, high = 0, low = 0, close = 0, volume = 0;
};

// When the market trades.
enum class Sessions {
  kAllDay,         // every minute of every day
  kVnDerivatives,  // Mon-Fri 09:00-11:30 and 13:00-14:45 UTC+7
};

class Market {
 public:
  explicit Market(std::uint64_t seed, Sessions sessions = Sessions::kAllDay);
  ~Market();
  Market(const Market&) = delete;
  Market& operator=(const Market&) = delete;

  // The instrument of a symbol; any non-empty symbol gets one (generated on first use).
  const Instrument& instrument(std::string_view symbol);
  const Instrument* find(std::string_view symbol) const;
  std::vector<const Instrument*> listed() const;

  // Traded price at an instant, on the tick grid.
  double price(std::string_view symbol, std::int64_t ms);
  // Candle of resolution_s seconds starting at start_ms (aligned), cut at now_ms when it is
  // still forming.
  SimCandle candle(std::string_view symbol, int resolution_s, std::int64_t start_ms,
                   std::int64_t now_ms);
  // Candles starting in [from_ms, to_ms] and not after now_ms; with count_back > 0 the last
  // count_back candles starting at or before min(to_ms, now_ms). Fails (message set, absent
  // returned) when more than max_candles would be produced or an argument is out of range.
  std::optional<std::vector<SimCandle>> history(std::string_view symbol, int resolution_s,
                                                std::int64_t from_ms, std::int64_t to_ms,
                                                std::int64_t count_back, std::int64_t now_ms,
                                                std::size_t max_candles, std::string& message);

  // From at_ms on, the path is scaled so that the price at at_ms is price.
  void set_price(std::string_view symbol, double price, std::int64_t at_ms);
  // Forgets every price set by set_price.
  void clear_overrides();

  double round_to_tick(const Instrument& instrument, double price) const;

  Sessions sessions() const { return sessions_; }
  // Whether a candle of resolution_s starting at start_ms exists: it starts in a session
  // (daily candles: on a weekday). Always true without sessions.
  bool trades_at(std::int64_t start_ms, int resolution_s) const;
  // The first candle start of resolution_s at or after from_ms that trades_at; absent when
  // there is none before limit_ms.
  std::optional<std::int64_t> next_bar(std::int64_t from_ms, int resolution_s,
                                       std::int64_t limit_ms) const;
  // From now on the symbol's candles and prices come from series (a file's bars) instead of
  // the path. The symbol becomes listed; one not of ours takes its tick from the file's
  // decimals and a lot of 1.
  void load_series(std::string_view symbol, std::shared_ptr<const CandleSeries> series);
  const CandleSeries* series(std::string_view symbol) const;

 private:
  struct Path;
  struct Day;
  Path& path(std::string_view symbol);
  double raw_price(Path& path, std::int64_t ms);
  const Day& day(Path& path, std::int64_t day_index);
  double day_level(Path& path, std::int64_t day_index);

  std::uint64_t seed_;
  Sessions sessions_;
  std::size_t cached_days_ = 0;  // days held by every path together
  std::map<std::string, std::unique_ptr<Path>, std::less<>> paths_;
};

}  // namespace tolbu_sim

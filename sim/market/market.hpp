#pragma once
// Instruments and their deterministic price paths. The price of a symbol at any instant is a
// function of the seed, the symbol and the time alone (a sum of seeded random-walk octaves),
// so candle history for any range and resolution is reproducible and consistent with the
// live market. Prices set by tests scale the path from that instant on.

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

class Market {
 public:
  explicit Market(std::uint64_t seed);
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

  // From now on the symbol's candles and prices come from series (a file's bars) instead of
  // the path. The symbol becomes listed; one not of ours takes its tick from the file's
  // decimals and a lot of 1.
  void load_series(std::string_view symbol, std::shared_ptr<const CandleSeries> series);
  const CandleSeries* series(std::string_view symbol) const;

 private:
  struct Path;
  Path& path(std::string_view symbol);
  double raw_price(Path& path, std::int64_t ms) const;

  std::uint64_t seed_;
  std::map<std::string, std::unique_ptr<Path>, std::less<>> paths_;
};

}  // namespace tolbu_sim

#pragma once
// Candle history from a CSV file: one symbol, one resolution per file. Columns
// time,open,high,low,close,volume (the header line is required); time in epoch milliseconds or
// ISO-8601 UTC ("2024-01-02T09:00:00Z", fractions of a second allowed). Everything is checked
// when the file is read; the first fault refuses the whole file with its name, line and reason,
// since a backtest on half-read or inconsistent data would be worse than none.
//
// The resolution is given, or else inferred as the smallest spacing of two bars. Gaps (nights,
// weekends, halts) are normal; a time off the resolution's epoch-aligned grid is refused.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "market/market.hpp"

namespace tolbu_sim {

// "FILE:LINE: reason", or "FILE: reason" for faults of the whole file.
class CsvError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The bars of one file, checked, and what can be answered from them.
class CandleSeries {
 public:
  CandleSeries(std::string source, int resolution_s, std::vector<SimCandle> bars, int decimals);

  const std::string& source() const { return source_; }
  int resolution_s() const { return resolution_s_; }
  const std::vector<SimCandle>& bars() const { return bars_; }
  // Most decimals of a price in the file: the tick of a symbol known only from it.
  int decimals() const { return decimals_; }
  std::int64_t first_ms() const { return bars_.front().time; }
  // Just after the last bar: the end of a range that replays the whole file.
  std::int64_t end_ms() const { return bars_.back().time + length_ms(); }

  // The last traded price at ms: a bar's open at its start, its close after that (the file
  // has no path inside a bar); before the first bar, the first open.
  double price(std::int64_t ms) const;
  // The file's bars starting in [start_ms, start_ms + resolution_s) and not after now_ms
  // merged into one; a bar still forming at now_ms counts with its open only. No bar: a flat
  // candle at price(now_ms) with no volume.
  SimCandle candle(int resolution_s, std::int64_t start_ms, std::int64_t now_ms) const;
  // Start of every candle of resolution_s starting in [from_ms, to_ms] that holds a bar of
  // the file starting at or before now_ms, in order.
  std::vector<std::int64_t> starts(int resolution_s, std::int64_t from_ms, std::int64_t to_ms,
                                   std::int64_t now_ms) const;
  // Whether a bar of the file starts in [start_ms, start_ms + resolution_s).
  bool has_bar(int resolution_s, std::int64_t start_ms) const;
  // As Market::history, but only candles that hold bars of the file (gaps stay gaps);
  // resolution_s must be a multiple of the file's.
  std::optional<std::vector<SimCandle>> history(int resolution_s, std::int64_t from_ms,
                                                std::int64_t to_ms, std::int64_t count_back,
                                                std::int64_t now_ms, std::size_t max_candles,
                                                std::string& message) const;

 private:
  std::int64_t length_ms() const { return std::int64_t{resolution_s_} * 1000; }

  std::string source_;
  int resolution_s_;
  std::vector<SimCandle> bars_;
  int decimals_;
};

// Reads and checks a CSV history; source names it in errors. resolution_s: the bars'
// length if known, else inferred. Throws CsvError.
CandleSeries parse_csv_history(std::istream& in, const std::string& source,
                               std::optional<int> resolution_s = std::nullopt);
CandleSeries read_csv_history(const std::string& path,
                              std::optional<int> resolution_s = std::nullopt);

// A time of the file's "time" column: epoch ms or ISO-8601 UTC; absent when it is neither.
std::optional<std::int64_t> parse_csv_time(std::string_view text);

}  // namespace tolbu_sim

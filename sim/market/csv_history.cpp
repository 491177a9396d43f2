#include "market/csv_history.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <limits>
#include <string_view>

namespace tolbu_sim {

namespace {

constexpr std::string_view kColumns[] = {"time", "open", "high", "low", "close", "volume"};
constexpr int kMaxResolution = 31 * 86400;

std::string_view csv_trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> csv_split(std::string_view line) {
  std::vector<std::string_view> out;
  for (;;) {
    const auto comma = line.find(',');
    out.push_back(csv_trim(line.substr(0, comma)));
    if (comma == std::string_view::npos) return out;
    line.remove_prefix(comma + 1);
  }
}

template <typename T>
bool csv_int(std::string_view text, T& out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size();
}

std::int64_t csv_floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Decimals of a plain decimal text ("26050.5" -> 1); 0 for exponent forms.
int csv_decimals(std::string_view text) {
  const auto dot = text.find('.');
  if (dot == std::string_view::npos || text.find_first_of("eE") != std::string_view::npos)
    return 0;
  auto digits = text.substr(dot + 1);
  while (!digits.empty() && digits.back() == '0') digits.remove_suffix(1);
  return static_cast<int>(digits.size());
}

}  // namespace

std::optional<std::int64_t> parse_csv_time(std::string_view text) {
  text = csv_trim(text);
  if (text.empty()) return std::nullopt;
  if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    std::int64_t ms = 0;
    if (!csv_int(text, ms)) return std::nullopt;
    return ms;
  }
  // YYYY-MM-DD, then optionally THH:MM[:SS[.fff]] and a UTC zone (Z or +00:00).
  auto take = [&](std::size_t n, int& out) {
    if (text.size() < n) return false;
    if (!std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n),
                     [](char c) { return c >= '0' && c <= '9'; }))
      return false;
    const bool ok = csv_int(text.substr(0, n), out);
    text.remove_prefix(n);
    return ok;
  };
  auto expect = [&](char c) {
    if (text.empty() || text.front() != c) return false;
    text.remove_prefix(1);
    return true;
  };
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
  if (!take(4, year) || !expect('-') || !take(2, month) || !expect('-') || !take(2, day))
    return std::nullopt;
  if (!text.empty()) {
    if (!expect('T') && !expect(' ')) return std::nullopt;
    if (!take(2, hour) || !expect(':') || !take(2, minute)) return std::nullopt;
    if (!text.empty() && text.front() == ':' && (!expect(':') || !take(2, second)))
      return std::nullopt;
    if (!text.empty() && text.front() == '.') {
      text.remove_prefix(1);
      std::size_t digits = 0;
      while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
      if (digits == 0 || digits > 3) return std::nullopt;  // below a millisecond: not a bar time
      int fraction = 0;
      if (!take(digits, fraction)) return std::nullopt;
      millis = fraction * (digits == 1 ? 100 : digits == 2 ? 10 : 1);
    }
    // A time of day without a zone would depend on the reader's: only UTC is taken.
    if (text != "Z" && text != "+00:00") return std::nullopt;
  }
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year{year},
                                         std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  if (!date.ok()) return std::nullopt;
  const auto days = std::chrono::sys_days{date}.time_since_epoch().count();
  return ((static_cast<std::int64_t>(days) * 24 + hour) * 60 + minute) * 60000 +
         std::int64_t{second} * 1000 + millis;
}

CandleSeries parse_csv_history(std::istream& in, const std::string& source,
                               std::optional<int> resolution_s) {
  auto fail = [&](std::size_t line, const std::string& reason) {
    return CsvError(line == 0 ? source + ": " + reason
                              : source + ":" + std::to_string(line) + ": " + reason);
  };
  std::vector<SimCandle> bars;
  std::vector<std::size_t> lines;  // the line of each bar, for the grid check at the end
  int decimals = 0;
  std::string text;
  std::size_t line_no = 0;
  bool header = false;
  while (std::getline(in, text)) {
    ++line_no;
    std::string_view line = text;
    if (line_no == 1 && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
    if (csv_trim(line).empty()) continue;
    auto cells = csv_split(line);
    if (!header) {
      bool names = cells.size() == std::size(kColumns);
      for (std::size_t i = 0; names && i < cells.size(); ++i) {
        std::string name(cells[i]);
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        names = name == kColumns[i];
      }
      if (!names)
        throw fail(line_no, "the header must be time,open,high,low,close,volume, not '" +
                                std::string(csv_trim(line)) + "'");
      header = true;
      continue;
    }
    if (cells.size() != std::size(kColumns))
      throw fail(line_no, std::to_string(cells.size()) + " columns, expected 6");
    SimCandle bar;
    const auto time = parse_csv_time(cells[0]);
    if (!time)
      throw fail(line_no, "time '" + std::string(cells[0]) +
                              "' is neither epoch milliseconds nor ISO-8601 UTC "
                              "(2024-01-02T09:00:00Z)");
    bar.time = *time;
    double* fields[] = {&bar.open, &bar.high, &bar.low, &bar.close, &bar.volume};
    for (std::size_t i = 0; i < std::size(fields); ++i) {
      const std::string cell(cells[i + 1]);
      const std::string name(kColumns[i + 1]);
      char* end = nullptr;
      const double v = cell.empty() ? 0.0 : std::strtod(cell.c_str(), &end);
      if (cell.empty() || end != cell.c_str() + cell.size())
        throw fail(line_no, name + " '" + cell + "' is not a number");
      if (!std::isfinite(v)) throw fail(line_no, name + " '" + cell + "' is not finite");
      *fields[i] = v;
      if (i < 4) decimals = std::max(decimals, csv_decimals(cell));
    }
    auto num = [](double v) {
      std::string s = std::to_string(v);
      s.erase(s.find_last_not_of('0') + 1);
      if (s.back() == '.') s.pop_back();
      return s;
    };
    if (bar.low <= 0) throw fail(line_no, "prices must be positive, low is " + num(bar.low));
    if (bar.high < bar.low)
      throw fail(line_no, "high " + num(bar.high) + " is below low " + num(bar.low));
    if (bar.open < bar.low || bar.open > bar.high)
      throw fail(line_no, "open " + num(bar.open) + " is outside [low, high] = [" +
                              num(bar.low) + ", " + num(bar.high) + "]");
    if (bar.close < bar.low || bar.close > bar.high)
      throw fail(line_no, "close " + num(bar.close) + " is outside [low, high] = [" +
                              num(bar.low) + ", " + num(bar.high) + "]");
    if (bar.volume < 0) throw fail(line_no, "volume " + num(bar.volume) + " is negative");
    if (!bars.empty() && bar.time <= bars.back().time)
      throw fail(line_no, bar.time == bars.back().time
                              ? "duplicate time " + std::string(cells[0]) + " (line " +
                                    std::to_string(lines.back()) + ")"
                              : "time " + std::string(cells[0]) +
                                    " is before the previous bar's: the file must be sorted");
    bars.push_back(bar);
    lines.push_back(line_no);
  }
  if (in.bad()) throw fail(0, "read error");
  if (!header) throw fail(0, "empty file: expected the header time,open,high,low,close,volume");
  if (bars.empty()) throw fail(0, "no bars after the header");

  std::int64_t length = 0;
  if (resolution_s) {
    if (*resolution_s <= 0 || *resolution_s > kMaxResolution)
      throw fail(0, "the resolution must be from 1 to " + std::to_string(kMaxResolution) + " s");
    length = std::int64_t{*resolution_s} * 1000;
  } else {
    if (bars.size() < 2) throw fail(0, "one bar only: give its resolution");
    length = std::numeric_limits<std::int64_t>::max();
    for (std::size_t i = 1; i < bars.size(); ++i)
      length = std::min(length, bars[i].time - bars[i - 1].time);
    if (length % 1000 != 0)
      throw fail(0, "the smallest spacing of two bars, " + std::to_string(length) +
                        " ms, is not a whole number of seconds" +
                        (length < 1000 ? " (times in epoch seconds? they must be milliseconds)"
                                       : ""));
    if (length > std::int64_t{kMaxResolution} * 1000)
      throw fail(0, "the smallest spacing of two bars, " + std::to_string(length / 1000) +
                        " s, is more than the largest resolution of " +
                        std::to_string(kMaxResolution) + " s");
  }
  for (std::size_t i = 0; i < bars.size(); ++i) {
    if (bars[i].time < 0) throw fail(lines[i], "time before 1970");
    if (bars[i].time % length != 0)
      throw fail(lines[i], "time " + std::to_string(bars[i].time) + " is not on the grid of " +
                               std::to_string(length / 1000) + " s bars (multiples of " +
                               std::to_string(length / 1000) +
                               " s from 1970-01-01T00:00:00Z: daily bars start at 00:00 UTC)");
  }
  return CandleSeries(source, static_cast<int>(length / 1000), std::move(bars), decimals);
}

CandleSeries read_csv_history(const std::string& path, std::optional<int> resolution_s) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw CsvError(path + ": cannot be read");
  return parse_csv_history(in, path, resolution_s);
}

CandleSeries::CandleSeries(std::string source, int resolution_s, std::vector<SimCandle> bars,
                           int decimals)
    : source_(std::move(source)),
      resolution_s_(resolution_s),
      bars_(std::move(bars)),
      decimals_(decimals) {
  if (bars_.empty() || resolution_s_ <= 0) throw CsvError(source_ + ": no bars");
}

double CandleSeries::price(std::int64_t ms) const {
  auto it = std::upper_bound(bars_.begin(), bars_.end(), ms,
                             [](std::int64_t t, const SimCandle& b) { return t < b.time; });
  if (it == bars_.begin()) return bars_.front().open;
  const SimCandle& bar = *std::prev(it);
  return ms == bar.time ? bar.open : bar.close;
}

SimCandle CandleSeries::candle(int resolution_s, std::int64_t start_ms,
                               std::int64_t now_ms) const {
  const std::int64_t end = start_ms + std::int64_t{resolution_s} * 1000;
  auto it = std::lower_bound(bars_.begin(), bars_.end(), start_ms,
                             [](const SimCandle& b, std::int64_t t) { return b.time < t; });
  SimCandle out;
  out.time = start_ms;
  bool any = false;
  for (; it != bars_.end() && it->time < end && it->time <= now_ms; ++it) {
    SimCandle bar = *it;
    if (bar.time + length_ms() - 1 > now_ms) {
      bar.high = bar.low = bar.close = bar.open;
      bar.volume = 0;
    }
    if (!any) {
      out.open = bar.open;
      out.high = bar.high;
      out.low = bar.low;
    }
    out.high = std::max(out.high, bar.high);
    out.low = std::min(out.low, bar.low);
    out.close = bar.close;
    out.volume += bar.volume;
    any = true;
  }
  if (!any) out.open = out.high = out.low = out.close = price(now_ms);
  return out;
}

bool CandleSeries::has_bar(int resolution_s, std::int64_t start_ms) const {
  auto it = std::lower_bound(bars_.begin(), bars_.end(), start_ms,
                             [](const SimCandle& b, std::int64_t t) { return b.time < t; });
  return it != bars_.end() && it->time < start_ms + std::int64_t{resolution_s} * 1000;
}

std::vector<std::int64_t> CandleSeries::starts(int resolution_s, std::int64_t from_ms,
                                               std::int64_t to_ms, std::int64_t now_ms) const {
  const std::int64_t length = std::int64_t{resolution_s} * 1000;
  const std::int64_t first = csv_floor_div(from_ms + length - 1, length) * length;
  std::vector<std::int64_t> out;
  if (to_ms < first) return out;
  const std::int64_t last_bar = std::min(
      now_ms, to_ms > std::numeric_limits<std::int64_t>::max() - length ? to_ms
                                                                        : to_ms + length - 1);
  auto it = std::lower_bound(bars_.begin(), bars_.end(), first,
                             [](const SimCandle& b, std::int64_t t) { return b.time < t; });
  for (; it != bars_.end() && it->time <= last_bar; ++it) {
    const std::int64_t start = csv_floor_div(it->time, length) * length;
    if (start > to_ms) break;
    if (out.empty() || out.back() != start) out.push_back(start);
  }
  return out;
}

std::optional<std::vector<SimCandle>> CandleSeries::history(int resolution_s,
                                                            std::int64_t from_ms,
                                                            std::int64_t to_ms,
                                                            std::int64_t count_back,
                                                            std::int64_t now_ms,
                                                            std::size_t max_candles,
                                                            std::string& message) const {
  if (resolution_s % resolution_s_ != 0) {
    message = "The history of this symbol is in " + std::to_string(resolution_s_) +
              " s bars; " + std::to_string(resolution_s) + " s is not a multiple of it";
    return std::nullopt;
  }
  if (count_back > 0 && static_cast<std::uint64_t>(count_back) > max_candles) {
    message = "Count-back " + std::to_string(count_back) + " exceeds the limit of " +
              std::to_string(max_candles) + " candles";
    return std::nullopt;
  }
  const std::int64_t last = std::min(to_ms, now_ms);
  auto times = starts(resolution_s, count_back > 0 ? 0 : from_ms, last, now_ms);
  if (count_back > 0 && times.size() > static_cast<std::size_t>(count_back))
    times.erase(times.begin(), times.end() - count_back);
  if (times.size() > max_candles) {
    message = "The range holds " + std::to_string(times.size()) +
              " candles, more than the limit of " + std::to_string(max_candles);
    return std::nullopt;
  }
  std::vector<SimCandle> out;
  out.reserve(times.size());
  for (const auto t : times) out.push_back(candle(resolution_s, t, now_ms));
  return out;
}

}  // namespace tolbu_sim

#pragma once
// Small backtest results built by hand for the report suites, and readers of the pages.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tolbu_sdk/backtest/report.hpp"

namespace backtest_test {

using namespace std::chrono_literals;
using tolbu_sdk::backtest::BacktestResult;
using tolbu_sdk::backtest::EquityPoint;
using tolbu_sdk::backtest::PricePoint;
using tolbu_sdk::platform::LocalDateTime;
using tolbu_sdk::platform::make_local;
using tolbu_sdk::strategy::ClosedPosition;
using tolbu_sdk::strategy::PositionSide;

inline const LocalDateTime T0 = make_local(2024, 1, 2, 9, 0, 0);

// A whole file as bytes; empty when it cannot be read.
inline std::string read_file(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline LocalDateTime minute(int i) { return T0 + std::chrono::minutes(i); }

// One point a minute from T0; in_position as given ("FTTTF").
inline std::vector<EquityPoint> curve(std::vector<double> equity, std::string exposed = "") {
  std::vector<EquityPoint> out;
  for (std::size_t i = 0; i < equity.size(); ++i)
    out.push_back(
        {minute(static_cast<int>(i)), equity[i], i < exposed.size() && exposed[i] == 'T'});
  return out;
}

inline ClosedPosition trade(std::string id, PositionSide side, int entry_bar, double entry,
                            int exit_bar, double exit, double pnl) {
  return ClosedPosition{std::move(id),
                        "FPT",
                        side,
                        1,
                        entry,
                        exit,
                        minute(entry_bar),
                        minute(exit_bar),
                        pnl,
                        pnl / entry * 100,
                        60.0 * (exit_bar - entry_bar)};
}

// Ten bars of prices, two trades (a winning long, a losing short) and the equity they make.
inline BacktestResult sample_result() {
  BacktestResult r;
  r.title = "SMA <FPT> & co";
  const std::vector<double> closes{100, 101, 103, 102, 104, 106, 105, 103, 104, 102};
  for (std::size_t i = 0; i < closes.size(); ++i)
    r.prices.push_back({minute(static_cast<int>(i)), closes[i]});
  r.trades = {trade("t1", PositionSide::LONG, 1, 101, 5, 106, 5),
              trade("t2", PositionSide::SHORT, 6, 105, 8, 107, -2)};
  r.equity_curve =
      curve({1000, 1000, 1002, 1001, 1003, 1005, 1005, 1003, 1003, 1003}, "FTTTTTTTFF");
  return r;
}

// The opening tag of the element with this id, or "". Plain searches: std::regex recurses per
// character and overflows the stack on a page's long attributes.
inline std::string tag_with_id(const std::string& dom, const std::string& id) {
  const auto at = dom.find("id=\"" + id + "\"");
  if (at == std::string::npos) return "";
  const auto open = dom.rfind('<', at);
  const auto close = dom.find('>', at);
  if (open == std::string::npos || close == std::string::npos) return "";
  return dom.substr(open, close - open + 1);
}

// The number of x,y pairs in the points attribute of the polyline with this id.
inline std::size_t points_of(const std::string& dom, const std::string& id) {
  const std::string tag = tag_with_id(dom, id);
  if (!tag.starts_with("<polyline")) return 0;
  const auto from = tag.find("points=\"");
  if (from == std::string::npos) return 0;
  const auto begin = from + 8;
  const auto end = tag.find('"', begin);
  if (end == std::string::npos) return 0;
  std::istringstream pairs(tag.substr(begin, end - begin));
  std::size_t n = 0;
  for (std::string pair; pairs >> pair;) n += pair.find(',') != std::string::npos ? 1 : 0;
  return n;
}

inline std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

}  // namespace backtest_test

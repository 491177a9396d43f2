// CSV candle history: every refusal names the file, the line and the reason; accepted files
// keep their gaps, and the market answers a loaded symbol from the file.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "market/csv_history.hpp"
#include "market/market.hpp"

namespace {

using tolbu_sim::CandleSeries;
using tolbu_sim::CsvError;
using tolbu_sim::parse_csv_history;

constexpr const char* kHeader = "time,open,high,low,close,volume\n";

CandleSeries parse(const std::string& text, std::optional<int> resolution = std::nullopt) {
  std::istringstream in(text);
  return parse_csv_history(in, "bars.csv", resolution);
}

struct Refusal {
  const char* name;
  std::string text;
  std::optional<int> resolution;
  std::string expected;  // the start of the error's text
};

TEST(CsvHistory, RefusesFaultyFilesWithLineAndReason) {
  const std::string h = kHeader;
  const std::vector<Refusal> cases = {
      {"empty", "", {}, "bars.csv: empty file"},
      {"header only", h, {}, "bars.csv: no bars"},
      {"wrong header", "date,open,high,low,close,volume\n60000,1,1,1,1,1\n", {},
       "bars.csv:1: the header must be"},
      {"header missing", "60000,1,1,1,1,1\n120000,1,1,1,1,1\n", {}, "bars.csv:1: the header"},
      {"too few columns", h + "60000,1,1,1,1,1\n120000,1,1,1,1\n", {},
       "bars.csv:3: 5 columns, expected 6"},
      {"too many columns", h + "60000,1,1,1,1,1,7\n", {}, "bars.csv:2: 7 columns"},
      {"time unparseable", h + "yesterday,1,1,1,1,1\n", {}, "bars.csv:2: time 'yesterday'"},
      {"time without zone", h + "2024-01-02T09:00:00,1,1,1,1,1\n", {}, "bars.csv:2: time"},
      {"impossible date", h + "2024-02-30T09:00:00Z,1,1,1,1,1\n", {}, "bars.csv:2: time"},
      {"price unparseable", h + "60000,1,1x,1,1,1\n", {}, "bars.csv:2: high '1x' is not a number"},
      {"price empty", h + "60000,1,,1,1,1\n", {}, "bars.csv:2: high '' is not a number"},
      {"nan", h + "60000,nan,1,1,1,1\n", {}, "bars.csv:2: open 'nan' is not finite"},
      {"infinite volume", h + "60000,1,1,1,1,inf\n", {}, "bars.csv:2: volume 'inf' is not finite"},
      {"high below low", h + "60000,1,2,3,2,1\n120000,5,9,4,6,1\n", {},
       "bars.csv:2: high 2 is below low 3"},
      {"open above high", h + "60000,10,9,8,9,1\n", {}, "bars.csv:2: open 10 is outside"},
      {"close below low", h + "60000,9,10,8,7.5,1\n", {}, "bars.csv:2: close 7.5 is outside"},
      {"negative volume", h + "60000,9,10,8,9,-1\n", {}, "bars.csv:2: volume -1 is negative"},
      {"zero price", h + "60000,0,0,0,0,1\n", {}, "bars.csv:2: prices must be positive"},
      {"duplicate", h + "60000,1,1,1,1,1\n120000,1,1,1,1,1\n120000,1,1,1,1,1\n", {},
       "bars.csv:4: duplicate time 120000 (line 3)"},
      {"unsorted", h + "120000,1,1,1,1,1\n60000,1,1,1,1,1\n", {},
       "bars.csv:3: time 60000 is before the previous bar's"},
      {"off the inferred grid", h + "60000,1,1,1,1,1\n150000,1,1,1,1,1\n210000,1,1,1,1,1\n", {},
       "bars.csv:3: time 150000 is not on the grid of 60 s bars"},
      {"off the given grid",
       h + "2024-01-02T09:00:00Z,1,1,1,1,1\n2024-01-02T09:01:30Z,1,1,1,1,1\n", 60,
       "bars.csv:3: time 1704186090000 is not on the grid of 60 s bars"},
      {"epoch seconds", h + "1704186000,1,1,1,1,1\n1704186060,1,1,1,1,1\n", {},
       "bars.csv: the smallest spacing of two bars, 60 ms, is not a whole number of seconds "
       "(times in epoch seconds?"},
      {"one bar, no resolution", h + "60000,1,1,1,1,1\n", {}, "bars.csv: one bar only"},
  };
  for (const auto& c : cases) {
    try {
      parse(c.text, c.resolution);
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const CsvError& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, c.expected.size()), c.expected)
          << c.name << ": " << e.what();
    }
  }
}

TEST(CsvHistory, ReadsGapsBothTimeFormsAndWindowsLineEndings) {
  // A byte-order mark, CRLF, ISO and epoch times mixed, a night's gap and a blank last line.
  const std::string text =
      "\xEF\xBB\xBFTime, Open,High,Low,Close,Volume\r\n"
      "2024-01-02T02:00:00Z,100.5,101,100,100.75,300\r\n"
      "1704160860000,100.75,102,100.5,101.5,200\r\n"
      "2024-01-03T02:00:00.000Z,103,104,102.25,103.5,0\r\n"
      "\r\n";
  const auto series = parse(text);
  EXPECT_EQ(series.resolution_s(), 60);
  EXPECT_EQ(series.decimals(), 2);
  ASSERT_EQ(series.bars().size(), 3u);
  EXPECT_EQ(series.bars()[0].time, 1704160800000);
  EXPECT_EQ(series.bars()[2].time, 1704247200000);
  EXPECT_DOUBLE_EQ(series.bars()[1].high, 102);
  EXPECT_EQ(series.end_ms(), 1704247260000);
  EXPECT_EQ(tolbu_sim::parse_csv_time("2024-01-02"), 1704153600000);
  EXPECT_EQ(tolbu_sim::parse_csv_time("2024-01-02 02:00+00:00"), 1704160800000);
}

// The market answers a loaded symbol from the file: history skips the gaps, count-back counts
// bars of the file, wider candles merge its bars, prices are the bars' opens and closes.
TEST(CsvHistory, MarketAnswersLoadedSymbolFromTheFile) {
  const std::string text = std::string(kHeader) +
                           "600000,10,12,9,11,100\n"     // 00:10
                           "660000,11,11.5,10,10.5,50\n"  // 00:11
                           "4200000,13,14,12,13.5,70\n";  // 01:10, after an hour's gap
  tolbu_sim::Market market(1);
  market.load_series("XYZ", std::make_shared<const CandleSeries>(parse(text)));
  const auto* in = market.find("XYZ");
  ASSERT_NE(in, nullptr);
  EXPECT_TRUE(in->listed);
  EXPECT_DOUBLE_EQ(in->tick_size, 0.1);
  EXPECT_EQ(in->lot_size, 1);

  std::string message;
  const auto all = market.history("XYZ", 60, 0, 10'000'000, 0, 10'000'000, 1000, message);
  ASSERT_TRUE(all) << message;
  ASSERT_EQ(all->size(), 3u);
  EXPECT_EQ((*all)[2].time, 4200000);
  EXPECT_DOUBLE_EQ((*all)[1].close, 10.5);
  // No look-ahead: the clock at 01:10:30 shows the forming bar's open only.
  const auto forming = market.history("XYZ", 60, 0, 10'000'000, 0, 4'230'000, 1000, message);
  ASSERT_TRUE(forming);
  ASSERT_EQ(forming->size(), 3u);
  EXPECT_DOUBLE_EQ(forming->back().high, 13);
  EXPECT_DOUBLE_EQ(forming->back().volume, 0);
  const auto last_two = market.history("XYZ", 60, 0, 10'000'000, 2, 10'000'000, 1000, message);
  ASSERT_TRUE(last_two);
  ASSERT_EQ(last_two->size(), 2u);
  EXPECT_EQ(last_two->front().time, 660000);
  const auto hourly = market.history("XYZ", 3600, 0, 10'000'000, 0, 10'000'000, 1000, message);
  ASSERT_TRUE(hourly);
  ASSERT_EQ(hourly->size(), 2u);
  EXPECT_DOUBLE_EQ(hourly->front().open, 10);
  EXPECT_DOUBLE_EQ(hourly->front().high, 12);
  EXPECT_DOUBLE_EQ(hourly->front().low, 9);
  EXPECT_DOUBLE_EQ(hourly->front().close, 10.5);
  EXPECT_DOUBLE_EQ(hourly->front().volume, 150);
  EXPECT_FALSE(market.history("XYZ", 90, 0, 10'000'000, 0, 10'000'000, 1000, message));
  EXPECT_NE(message.find("60 s bars"), std::string::npos);

  EXPECT_DOUBLE_EQ(market.price("XYZ", 600000), 10);   // a bar's start: its open
  EXPECT_DOUBLE_EQ(market.price("XYZ", 720000), 10.5);  // in the gap: the last close
  EXPECT_DOUBLE_EQ(market.price("XYZ", 4200000), 13);
  EXPECT_DOUBLE_EQ(market.price("XYZ", 0), 10);
  const auto bar = market.candle("XYZ", 60, 660000, 719999);
  EXPECT_DOUBLE_EQ(bar.low, 10);
  EXPECT_DOUBLE_EQ(bar.volume, 50);
}

}  // namespace

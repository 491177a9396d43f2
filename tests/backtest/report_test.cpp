// The JSON and HTML reports: layout, byte-for-byte determinism, escaping and files.

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "fixture.hpp"
#include "tolbu_sdk/errors.hpp"

namespace {

using namespace backtest_test;
namespace json = boost::json;
namespace fs = std::filesystem;
using namespace tolbu_sdk::backtest;

struct TempDir {
  fs::path path =
      fs::temp_directory_path() /
      ("tolbu_report_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  TempDir() { fs::create_directories(path); }
  ~TempDir() { fs::remove_all(path); }
};

// The data the page draws from: the JSON inside its "report-data" script.
json::object page_data(const std::string& html) {
  const std::string open = "<script id=\"report-data\" type=\"application/json\">";
  const auto start = html.find(open);
  const auto end = html.find("</script>", start);
  if (start == std::string::npos || end == std::string::npos) return {};
  return json::parse(html.substr(start + open.size(), end - start - open.size())).as_object();
}

TEST(ReportJson, LayoutServedByReportAndIdenticalBytesForIdenticalInput) {
  BacktestResult costed = sample_result();
  costed.trade_costs = {{0.4, 0.1}, {0.3, -0.05}};
  costed.commission = 0.7;
  costed.slippage = 0.05;
  const json::object report = report_json(costed);
  ASSERT_EQ(report.size(), 7u);
  EXPECT_TRUE(report.at("positions").as_array().empty());
  EXPECT_TRUE(report.at("refusals").as_array().empty());
  EXPECT_TRUE(report.at("open_position").is_null());
  EXPECT_EQ(report.begin()->key(), "metrics");
  const auto& metrics = report.at("metrics").as_object();
  EXPECT_EQ(metrics.at("trades").as_uint64(), 2u);
  EXPECT_EQ(metrics.at("total_pnl").as_double(), 3.0);
  EXPECT_EQ(metrics.at("net_pnl").as_double(), 3.0);
  EXPECT_EQ(metrics.at("gross_pnl").as_double(), 3.75);
  EXPECT_EQ(metrics.at("commission").as_double(), 0.7);
  EXPECT_TRUE(metrics.at("ruined_at_bar").is_null());
  const auto& curve = report.at("equity_curve").as_array();
  ASSERT_EQ(curve.size(), 10u);
  EXPECT_EQ(json::serialize(curve[2]),
            R"({"time":"2024-01-02T09:02:00","equity":1.002E3,"in_position":true})");
  const auto& trades = report.at("trades").as_array();
  ASSERT_EQ(trades.size(), 2u);
  EXPECT_EQ(trades[1].at("side").as_string(), "SHORT");
  EXPECT_EQ(trades[1].at("exit_time").as_string(), "2024-01-02T09:08:00");
  EXPECT_EQ(trades[1].at("slippage").as_double(), -0.05);
  EXPECT_TRUE(report_json(sample_result()).at("trades").as_array()[0].at("commission").is_null());

  // Every bar's price and position are in the file: exposure recomputes from it.
  const auto& prices = report.at("prices").as_array();
  ASSERT_EQ(prices.size(), 10u);
  EXPECT_EQ(prices[4].at("price").to_number<double>(), 104.0);
  std::size_t exposed = 0;
  for (const auto& p : curve) exposed += p.at("in_position").as_bool() ? 1 : 0;
  EXPECT_DOUBLE_EQ(100.0 * static_cast<double>(exposed) / static_cast<double>(curve.size()),
                   metrics.at("exposure").as_double());

  // Two results built separately give the same bytes; the text is the shared JSON layout.
  const std::string first = report_json_text(sample_result());
  EXPECT_EQ(first, report_json_text(sample_result()));
  EXPECT_EQ(first.find("NaN"), std::string::npos);
  EXPECT_NE(first.find(R"("equity_curve": [{"time": "2024-01-02T09:00:00", "equity": 1000.0, )"
                       R"("in_position": false}, )"),
            std::string::npos);
  EXPECT_EQ(json::parse(report_json_text(costed)), json::value(report));

  // Nothing at all still gives a complete report.
  EXPECT_EQ(report_json_text(BacktestResult{}).substr(0, 28), R"({"metrics": {"trades": 0, "w)");
  EXPECT_NE(report_json_text(BacktestResult{})
                .find(R"("equity_curve": [], "prices": [], "trades": [], "open_position": null, )"
                      R"("positions": [], "refusals": []})"),
            std::string::npos);

  // A report taken during the run shows the open position.
  BacktestResult running = sample_result();
  running.open_position.emplace("p3", "FPT", PositionSide::LONG, 3, 102.5, minute(9));
  running.open_position->update_price(104);
  const json::object with_open = report_json(running);
  const json::object& open = with_open.at("open_position").as_object();
  EXPECT_EQ(open.at("side").as_string(), "LONG");
  EXPECT_EQ(open.at("unrealized_pnl").as_double(), 4.5);
  running.positions = {{"FPT", 3, 102.5, 4.5}, {"HPG", -100, 25.0, -10.0}};
  EXPECT_EQ(json::serialize(report_json(running).at("positions").as_array()[1]),
            R"({"symbol":"HPG","qty":-100,"avg_price":2.5E1,"unrealized_pnl":-1E1})");
}

TEST(ReportHtml, SelfContainedPageWithEveryTradeInItsData) {
  BacktestResult result = sample_result();
  result.trades[0].symbol = "</script><b>";  // text in the data, never markup
  result.ruined_at_bar = 9;
  const std::string html = report_html(result);
  EXPECT_EQ(html, report_html(result));  // byte-identical

  const json::object data = page_data(html);
  ASSERT_FALSE(data.empty());
  EXPECT_EQ(data.at("origin").as_string(), "2024-01-02T09:00:00");
  EXPECT_EQ(data.at("price").at("v").as_array().size(), 10u);  // one bar a bucket: as they are
  EXPECT_EQ(data.at("equity").at("n").as_int64(), 10);
  EXPECT_EQ(data.at("drawdown").at("v").as_array().size(), 10u);
  const auto& trades = data.at("trades").as_array();
  ASSERT_EQ(trades.size(), 2u);
  // [entry bar, exit bar, entry and exit time in minutes, side, qty, entry, exit, pnl, pnl %,
  //  commission, slippage, symbol]
  EXPECT_EQ(data.at("unit").to_number<double>(), 60);
  EXPECT_EQ(trades[1].as_array().size(), 13u);
  EXPECT_NE(html.find("[6,8,6,8,-1,1,105,107,-2.00,-1.90,null,null,1]"), std::string::npos);
  EXPECT_EQ(data.at("symbols").as_array()[0].as_string(), "</script><b>");
  EXPECT_EQ(html.find("</script><b>"), std::string::npos);

  // The ruin is a visible line; the ratios say how they are annualised.
  EXPECT_NE(html.find("Ruined at bar 9 (2024-01-02T09:09:00)"), std::string::npos);
  EXPECT_NE(html.find("id=\"annualisation\""), std::string::npos);
  for (const char* row : {"m-gross", "m-commission", "m-slippage", "m-net"})
    EXPECT_NE(html.find(row), std::string::npos) << row;

  // The risk guard's refusals: the first hundred in the page, as text; every one in the JSON.
  for (int i = 0; i < 101; ++i)
    result.refusals.push_back({minute(i % 10), "FPT", "BUY", 5, "over <b>the</b> limit"});
  const std::string refused = report_html(result);
  EXPECT_NE(refused.find("Orders refused by the risk guard (101)"), std::string::npos);
  EXPECT_EQ(count(refused, "over &lt;b&gt;the&lt;/b&gt; limit"), 100u);
  EXPECT_NE(refused.find("The first 100 of 101"), std::string::npos);
  EXPECT_EQ(report_json(result).at("refusals").as_array().size(), 101u);
  EXPECT_EQ(html.find("Orders refused"), std::string::npos);  // none, no section

  // No CDN, no network: no URL other than the SVG namespace, no external script or sheet.
  EXPECT_EQ(count(html, "http"), count(html, "xmlns=\"http://www.w3.org/2000/svg\"") + 1);
  EXPECT_EQ(count(html, "\"http://www.w3.org/2000/svg\""), count(html, "http"));
  EXPECT_EQ(html.find("src="), std::string::npos);
  EXPECT_EQ(html.find("<link"), std::string::npos);

  // The title is text, never markup.
  EXPECT_NE(html.find("<h1>SMA &lt;FPT&gt; &amp; co</h1>"), std::string::npos);
  EXPECT_EQ(html.find("<FPT>"), std::string::npos);

  // A different input gives a different page.
  BacktestResult other = result;
  other.equity_curve[3].equity = 999;
  EXPECT_NE(report_html(other), html);
}

TEST(ReportHtml, LongRunsAreKeptAsBucketsAndTradesOutsideThePricesAreNotCharted) {
  BacktestResult r = sample_result();
  r.trades.push_back(trade("late", PositionSide::LONG, 8, 104, 30, 110, 6));  // exit after end
  auto trades = page_data(report_html(r)).at("trades").as_array();
  ASSERT_EQ(trades.size(), 3u);
  EXPECT_EQ(trades[2].at(0).as_int64(), -1);  // listed, not charted

  // Another symbol's trades are listed but not marked on these prices.
  r.price_symbol = "HPG";
  trades = page_data(report_html(r)).at("trades").as_array();
  for (const auto& t : trades) EXPECT_EQ(t.at(0).as_int64(), -1);

  // 10,007 bars: kept as 4000 buckets of their lows and highs, every extreme kept; the fine
  // level holds each bar as whole steps of the price's decimal.
  BacktestResult long_run;
  for (int i = 0; i < 10007; ++i)
    long_run.prices.push_back({minute(i), 100.5 + (i == 7777 ? 50 : 0) - (i == 3 ? 60 : 0)});
  long_run.trades.push_back(trade("t", PositionSide::LONG, 7777, 150.5, 10005, 100.5, -50));
  long_run.trades.back().exit_time += std::chrono::seconds(1);  // not on a minute: seconds
  const json::object data = page_data(report_html(long_run));
  const auto& price = data.at("price").as_object();
  EXPECT_EQ(price.at("n").as_int64(), 10007);
  ASSERT_FALSE(price.contains("v"));
  const auto& lo = price.at("lo").as_array();
  const auto& hi = price.at("hi").as_array();
  ASSERT_EQ(lo.size(), 4000u);
  ASSERT_EQ(hi.size(), 4000u);
  double lowest = 1e9, highest = -1e9;
  for (std::size_t i = 0; i < lo.size(); ++i) {
    lowest = std::min(lowest, lo[i].to_number<double>());
    highest = std::max(highest, hi[i].to_number<double>());
  }
  EXPECT_EQ(lowest, 40.5);
  EXPECT_EQ(highest, 150.5);
  // Room for every bar: one a span, each one price, times as one run of a minute a bar.
  const auto& fine = price.at("fine").as_object();
  EXPECT_EQ(fine.at("k").as_int64(), 10007);
  EXPECT_EQ(fine.at("d").as_int64(), 1);
  EXPECT_FALSE(fine.contains("span"));
  EXPECT_EQ(json::serialize(fine.at("dt")), "[0,1,60,10006]");
  std::int64_t steps = 0;
  for (int i = 0; i <= 7777; ++i)
    steps += fine.at("lo").as_array()[static_cast<std::size_t>(i)].as_int64();
  EXPECT_EQ(steps, 1505);  // 150.5 at bar 7777
  EXPECT_EQ(data.at("unit").to_number<double>(), 1);
  const auto& t = data.at("trades").as_array()[0].as_array();
  EXPECT_EQ(t[0].as_int64(), 7777);
  EXPECT_EQ(t[1].as_int64(), 10006);  // the bar whose close is the first at or after the exit
  EXPECT_EQ(t[3].to_number<double>(), 10005 * 60.0 + 1);

  // Nothing, or one flat bar, still makes a page and finite data.
  const std::string empty = report_html(BacktestResult{});
  EXPECT_EQ(page_data(empty).at("price").at("n").as_int64(), 0);
  EXPECT_NE(empty.find("<h1>Backtest</h1>"), std::string::npos);
  BacktestResult flat;
  flat.prices = {{minute(0), 50}};
  flat.equity_curve = curve({100});
  const std::string one = report_html(flat);
  EXPECT_EQ(page_data(one).at("price").at("v").as_array().size(), 1u);
  EXPECT_EQ(one.find("nan"), std::string::npos);
  EXPECT_EQ(one.find("inf"), std::string::npos);

  BacktestResult bad = sample_result();
  bad.prices[4].price = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(report_html(bad), tolbu_sdk::ValueError);
  EXPECT_THROW(report_json(bad), tolbu_sdk::ValueError);
  bad = sample_result();
  std::swap(bad.prices[1].time, bad.prices[2].time);
  EXPECT_THROW(report_html(bad), tolbu_sdk::ValueError);
}

TEST(ReportFiles, WrittenWholeAndFailuresNameTheFile) {
  TempDir dir;
  const BacktestResult r = sample_result();
  write_json_report(dir.path / "report.json", r);
  write_html_report(dir.path / "report.html", r);
  EXPECT_EQ(read_file(dir.path / "report.json"), report_json_text(r));
  EXPECT_EQ(read_file(dir.path / "report.html"), report_html(r));
  write_json_report(dir.path / "report.json", BacktestResult{});  // replaced
  EXPECT_EQ(read_file(dir.path / "report.json"), report_json_text(BacktestResult{}));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator{}), 2);

  const fs::path missing = dir.path / "no" / "such" / "report.json";
  try {
    write_json_report(missing, r);
    FAIL() << "writing into a missing folder succeeded";
  } catch (const tolbu_sdk::RuntimeError& error) {
    EXPECT_NE(std::string(error.what()).find(missing.string()), std::string::npos);
  }
  // A folder in the way: the rename fails and no temporary file is left behind.
  fs::create_directories(dir.path / "taken");
  fs::create_directories(dir.path / "taken" / "x");
  EXPECT_THROW(write_html_report(dir.path / "taken", r), tolbu_sdk::RuntimeError);
  EXPECT_FALSE(fs::exists(dir.path / "taken.tmp"));

  // Bad input writes nothing.
  BacktestResult bad = r;
  bad.equity_curve[0].equity = std::numeric_limits<double>::infinity();
  EXPECT_THROW(write_json_report(dir.path / "bad.json", bad), tolbu_sdk::ValueError);
  EXPECT_FALSE(fs::exists(dir.path / "bad.json"));
}

}  // namespace

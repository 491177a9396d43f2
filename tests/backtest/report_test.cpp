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

TEST(ReportJson, LayoutServedByReportAndIdenticalBytesForIdenticalInput) {
  const json::object report = report_json(sample_result());
  ASSERT_EQ(report.size(), 4u);
  EXPECT_TRUE(report.at("open_position").is_null());
  EXPECT_EQ(report.begin()->key(), "metrics");
  const auto& metrics = report.at("metrics").as_object();
  EXPECT_EQ(metrics.at("trades").as_uint64(), 2u);
  EXPECT_EQ(metrics.at("total_pnl").as_double(), 3.0);
  const auto& curve = report.at("equity_curve").as_array();
  ASSERT_EQ(curve.size(), 10u);
  EXPECT_EQ(json::serialize(curve[2]), R"({"time":"2024-01-02T09:02:00","equity":1.002E3})");
  const auto& trades = report.at("trades").as_array();
  ASSERT_EQ(trades.size(), 2u);
  EXPECT_EQ(trades[1].at("side").as_string(), "SHORT");
  EXPECT_EQ(trades[1].at("exit_time").as_string(), "2024-01-02T09:08:00");

  // Two results built separately give the same bytes; the text is the shared JSON layout.
  const std::string first = report_json_text(sample_result());
  EXPECT_EQ(first, report_json_text(sample_result()));
  EXPECT_EQ(first.find("NaN"), std::string::npos);
  EXPECT_NE(first.find(R"("equity_curve": [{"time": "2024-01-02T09:00:00", "equity": 1000.0}, )"),
            std::string::npos);
  EXPECT_EQ(json::parse(first), json::value(report));

  // Nothing at all still gives a complete report.
  EXPECT_EQ(report_json_text(BacktestResult{}).substr(0, 28), R"({"metrics": {"trades": 0, "w)");
  EXPECT_NE(report_json_text(BacktestResult{})
                .find(R"("equity_curve": [], "trades": [], "open_position": null})"),
            std::string::npos);

  // A report taken during the run shows the open position.
  BacktestResult running = sample_result();
  running.open_position.emplace("p3", "FPT", PositionSide::LONG, 3, 102.5, minute(9));
  running.open_position->update_price(104);
  const json::object with_open = report_json(running);
  const json::object& open = with_open.at("open_position").as_object();
  EXPECT_EQ(open.at("side").as_string(), "LONG");
  EXPECT_EQ(open.at("unrealized_pnl").as_double(), 4.5);
}

TEST(ReportHtml, DrawsEverySeriesAndEveryTradeWithoutOutsideResources) {
  const BacktestResult result = sample_result();
  const std::string html = report_html(result);
  EXPECT_EQ(html, report_html(sample_result()));  // byte-identical

  EXPECT_EQ(points_of(html, "price-series"), 10u);
  EXPECT_EQ(points_of(html, "equity-series"), 10u);
  EXPECT_EQ(points_of(html, "drawdown-series"), 10u);
  EXPECT_EQ(count(html, "<path class=\"entry long\""), 1u);
  EXPECT_EQ(count(html, "<path class=\"entry short\""), 1u);
  EXPECT_EQ(count(html, "<circle class=\"exit\""), 2u);
  EXPECT_EQ(count(html, "<tr class=\"win\">") + count(html, "<tr class=\"loss\">"), 2u);

  // No CDN, no network: no URL other than the SVG namespace, no external script or sheet.
  EXPECT_EQ(count(html, "http"), count(html, "xmlns=\"http://www.w3.org/2000/svg\""));
  EXPECT_EQ(html.find("src="), std::string::npos);
  EXPECT_EQ(html.find("<link"), std::string::npos);

  // The title is text, never markup.
  EXPECT_NE(html.find("<h1>SMA &lt;FPT&gt; &amp; co</h1>"), std::string::npos);
  EXPECT_EQ(html.find("<FPT>"), std::string::npos);

  // A different input gives a different page.
  BacktestResult other = sample_result();
  other.equity_curve[3].equity = 999;
  EXPECT_NE(report_html(other), html);
}

TEST(ReportHtml, TradesOutsideThePricesAndEmptySeries) {
  BacktestResult r = sample_result();
  r.trades.push_back(trade("late", PositionSide::LONG, 8, 104, 30, 110, 6));  // exit after end
  const std::string html = report_html(r);
  EXPECT_EQ(count(html, "<circle class=\"exit\""), 2u);  // not drawn on the chart
  EXPECT_EQ(count(html, "<tr class=\"win\">"), 2u);      // but listed

  const std::string empty = report_html(BacktestResult{});
  EXPECT_EQ(count(empty, "No data"), 3u);
  EXPECT_EQ(empty.find("<polyline"), std::string::npos);
  EXPECT_NE(empty.find("<h1>Backtest</h1>"), std::string::npos);

  // One bar and a flat price still make finite coordinates.
  BacktestResult flat;
  flat.prices = {{minute(0), 50}};
  flat.equity_curve = curve({100});
  const std::string one = report_html(flat);
  EXPECT_EQ(points_of(one, "price-series"), 1u);
  EXPECT_EQ(one.find("nan"), std::string::npos);
  EXPECT_EQ(one.find("inf"), std::string::npos);

  BacktestResult bad = sample_result();
  bad.prices[4].price = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(report_html(bad), tolbu_sdk::ValueError);
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

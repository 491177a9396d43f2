// The HTML report and the live dashboard as a browser draws them: headless Chromium loads the
// report file and the "/dashboard" page of a control server on a free loopback port, and the
// drawn series must hold the expected number of points. Screenshots stay in the build folder.

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <boost/asio/awaitable.hpp>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "../control/support.hpp"
#include "chromium.hpp"
#include "fixture.hpp"
#include "tolbu_sdk/control.hpp"

namespace {

using namespace backtest_test;
namespace json = boost::json;
namespace fs = std::filesystem;
using tolbu_sdk::backtest::report_html;
using tolbu_sdk::backtest::report_json;

const fs::path ARTIFACTS = BACKTEST_ARTIFACT_DIR;

// The text inside the element with this id (no nested elements).
std::string text_of(const std::string& dom, const std::string& id) {
  const auto at = dom.find("id=\"" + id + "\"");
  if (at == std::string::npos) return "";
  const auto begin = dom.find('>', at);
  const auto end = begin == std::string::npos ? begin : dom.find('<', begin);
  if (end == std::string::npos) return "";
  return dom.substr(begin + 1, end - begin - 1);
}

// The rows of a table's body.
std::size_t body_rows(const std::string& dom, const std::string& id) {
  const auto start = dom.find("id=\"" + id + "\"");
  if (start == std::string::npos) return 0;
  const auto body = dom.find("<tbody>", start);
  const auto end = dom.find("</tbody>", body);
  if (body == std::string::npos || end == std::string::npos) return 0;
  const std::string rows = dom.substr(body, end - body);
  return count(rows, "<tr>") + count(rows, "<tr ");
}

bool is_png(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  char signature[8] = {};
  in.read(signature, 8);
  return in && std::string(signature + 1, 3) == "PNG" && fs::file_size(file) > 1000;
}

// A longer run than the fixture: 240 bars of a wave, a trade every 30 bars.
BacktestResult day_result() {
  BacktestResult r;
  r.title = "Browser check";
  double equity = 10000;
  bool in_position = false;
  for (int i = 0; i < 240; ++i) {
    const double price = 100 + 5 * std::sin(i / 12.0) + 0.01 * i;
    r.prices.push_back({minute(i), price});
    if (i % 30 == 5) in_position = true;
    if (i % 30 == 20) {
      const double entry = r.prices[static_cast<std::size_t>(i - 15)].price;
      const auto side = (i / 30) % 2 == 0 ? PositionSide::LONG : PositionSide::SHORT;
      const double pnl = (side == PositionSide::LONG ? price - entry : entry - price) * 10;
      r.trades.push_back(trade("t" + std::to_string(i), side, i - 15, entry, i, price, pnl));
      equity += pnl;
      in_position = false;
    }
    r.equity_curve.push_back({minute(i), equity, in_position});
  }
  return r;
}

// Answers what the test sets; the server calls it from its own thread, hence the lock.
class FakeApp : public tolbu_sdk::Application {
 public:
  template <typename F>
  auto locked(F f) {
    std::lock_guard lock(mutex);
    return f();
  }

  json::value get_status() override {
    return locked([&] { return status; });
  }
  double get_progress() override { return 42.5; }
  json::value get_algo_stat_report() override {
    return locked([&] { return report; });
  }
  json::array get_logs(std::int64_t limit) override {
    return locked([&] {
      limits.push_back(limit);
      return json::array{"09:00:00 | INFO | started", "09:01:00 | INFO | <b>not markup</b>",
                         "\x1b[90m09:02:00\x1b[0m | \x1b[32mINFO    \x1b[0m | coloured"};
    });
  }
  json::array get_orders(const std::optional<std::string>&,
                         const std::optional<std::string>&) override {
    return locked([&] { return orders; });
  }
  json::array get_trades(const std::optional<std::string>&) override {
    return locked([&] { return trades; });
  }
  boost::asio::awaitable<void> stop() override { co_return; }

  std::mutex mutex;
  json::value status = "RUNNING";
  json::value report;
  json::array orders, trades;
  std::vector<std::int64_t> limits;
};

TEST(Dashboard, ServedSelfContainedNextToTheDocs) {
  FakeApp app;
  tolbu_sdk::APIServer::Options options;
  options.host = "127.0.0.1";
  tolbu_sdk::APIServer server(app, 0, options);
  server.start();
  ASSERT_TRUE(server.wait_until_listening(std::chrono::seconds(5)));
  const auto page = control_test::get(server.port(), "/dashboard");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.header("Content-Type"), "text/html");
  EXPECT_EQ(count(page.body, "http"), count(page.body, "xmlns=\"http://www.w3.org/2000/svg\""));
  EXPECT_EQ(page.body.find("src="), std::string::npos);
  EXPECT_EQ(page.body.find("<link"), std::string::npos);
  for (const char* route : {"\"/status\"", "\"/progress\"", "\"/report\"", "\"/orders\"",
                            "\"/trades\"", "\"/logs?limit=\""})
    EXPECT_NE(page.body.find(route), std::string::npos) << route;
  EXPECT_NE(control_test::get(server.port(), "/docs").body.find("swagger-ui"), std::string::npos);
  EXPECT_EQ(control_test::get(server.port(), "/dashboard/").status, 404);
  server.shutdown();
}

class InBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    chromium_ = Chromium::find();
    if (!chromium_) GTEST_SKIP() << "chromium is not installed (scripts/setup-deps installs it)";
    fs::create_directories(ARTIFACTS);
  }
  BrowserRun load(const std::string& name, const std::string& url, const std::string& what,
                  int virtual_ms) {
    return chromium_->run(
        ARTIFACTS / ("profile-" + name), url,
        {what, "--window-size=1280,1600", "--virtual-time-budget=" + std::to_string(virtual_ms)});
  }
  std::optional<Chromium> chromium_;
};

TEST_F(InBrowser, ReportDrawsPriceTradesEquityAndDrawdown) {
  BacktestResult result = day_result();
  // A trade that made nothing: neither won nor lost, drawn grey.
  result.trades.push_back(trade("even", PositionSide::LONG, 200, 100, 210, 100, 0.0));
  const fs::path file = ARTIFACTS / "report.html";
  tolbu_sdk::backtest::write_html_report(file, result);
  const std::string url = "file://" + fs::absolute(file).string();

  const BrowserRun dom = load("report", url, "--dump-dom", 1000);
  ASSERT_EQ(dom.exit_code, 0) << dom.output.substr(0, 500);
  EXPECT_EQ(points_of(dom.output, "price-series"), 240u);
  EXPECT_EQ(points_of(dom.output, "equity-series"), 240u);
  EXPECT_EQ(points_of(dom.output, "drawdown-series"), 240u);
  EXPECT_EQ(result.trades.size(), 9u);
  EXPECT_EQ(count(dom.output, "class=\"entry long\"") + count(dom.output, "class=\"entry short\""),
            9u);
  EXPECT_EQ(count(dom.output, "class=\"exit\""), 9u);
  EXPECT_EQ(count(dom.output, "class=\"trade flat\""), 1u);
  EXPECT_EQ(count(dom.output, "<tr class=\"flat\">"), 1u);
  EXPECT_NE(dom.output.find("breakeven"), std::string::npos);
  EXPECT_EQ(body_rows(dom.output, "metrics"), 16u);
  EXPECT_EQ(body_rows(dom.output, "trades"), 9u);
  EXPECT_EQ(dom.output.find("data-drawn=\"1\""), dom.output.rfind("data-drawn=\"1\""));
  EXPECT_NE(dom.output.find("data-drawn=\"1\""), std::string::npos);  // the script ran through
  // Labelled axes with grid lines and intermediate ticks.
  EXPECT_GE(count(dom.output, "class=\"grid\""), 3u * 8);
  EXPECT_NE(dom.output.find(">Price</text>"), std::string::npos);
  EXPECT_NE(dom.output.find(">Time</text>"), std::string::npos);

  const fs::path shot = ARTIFACTS / "report.png";
  fs::remove(shot);
  const BrowserRun screenshot = load("report", url, "--screenshot=" + shot.string(), 1000);
  EXPECT_EQ(screenshot.exit_code, 0);
  EXPECT_TRUE(is_png(shot)) << shot;
}

// A year of one-minute bars with 20,000 trades: a page of at most 2 MB that draws without a
// script error, its markers only where they fit. The load time is printed, not asserted.
TEST_F(InBrowser, AYearOfMinuteBarsAndTwentyThousandTradesStaysSmallAndDraws) {
  constexpr int kBars = 525'600, kTrades = 20'000, kEvery = kBars / kTrades;
  BacktestResult r;
  r.title = "A year of minutes";
  r.prices.reserve(kBars);
  r.equity_curve.reserve(kBars);
  std::uint64_t state = 42;
  double price = 1300, equity = 100'000;
  for (int i = 0; i < kBars; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    price = std::max(1.0, price + (static_cast<double>(state >> 40) / 16777216.0 - 0.5) * 0.8);
    price = std::round(price * 10) / 10;
    r.prices.push_back({minute(i), price});
    const int k = i % kEvery;
    if (k == kEvery - 1 && static_cast<int>(r.trades.size()) < kTrades) {
      const int entry = i - 10;
      const double entry_price = r.prices[static_cast<std::size_t>(entry)].price;
      const double pnl = (price - entry_price) * 10 - 0.5;
      equity += pnl;
      r.trades.push_back(trade("t" + std::to_string(i),
                               i % 2 ? PositionSide::LONG : PositionSide::SHORT, entry, entry_price,
                               i, price, pnl));
      r.trade_costs.push_back({0.4, 0.1});
    }
    r.equity_curve.push_back({minute(i), equity, k >= kEvery - 11});
  }
  ASSERT_EQ(r.trades.size(), static_cast<std::size_t>(kTrades));
  r.periods_per_year = tolbu_sdk::backtest::periods_per_year_of(r.equity_curve);
  const fs::path file = ARTIFACTS / "year.html";
  const auto made = std::chrono::steady_clock::now();
  tolbu_sdk::backtest::write_html_report(file, r);
  const double make_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - made).count();
  const auto size = fs::file_size(file);
  EXPECT_LE(size, 2'000'000u);
  EXPECT_EQ(read_file(file), report_html(r));  // identical input, identical bytes

  // The browser's own start, measured on a page of a day, is the baseline of the figure.
  const fs::path small = ARTIFACTS / "day.html";
  tolbu_sdk::backtest::write_html_report(small, day_result());
  const auto timed = [&](const fs::path& page) {
    const auto started = std::chrono::steady_clock::now();
    BrowserRun run = load("year", "file://" + fs::absolute(page).string(), "--dump-dom", 1000);
    return std::pair(
        std::move(run),
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  };
  const double day_s = timed(small).second;
  const std::string url = "file://" + fs::absolute(file).string();
  const auto [dom, load_s] = timed(file);
  std::printf(
      "year report: %zu bars, %d trades, %.2f MB, made in %.2f s; headless Chromium "
      "loads and draws it in %.2f s against %.2f s for a day's report (%.2fx, the "
      "browser's start included in both)\n",
      r.prices.size(), kTrades, static_cast<double>(size) / 1e6, make_s, load_s, day_s,
      load_s / day_s);
  ASSERT_EQ(dom.exit_code, 0);
  EXPECT_NE(dom.output.find("data-drawn=\"1\""), std::string::npos);  // no script error
  // One pixel column's low and high at most, on each chart.
  for (const char* id : {"price-series", "equity-series", "drawdown-series"}) {
    EXPECT_GT(points_of(dom.output, id), 400u) << id;
    EXPECT_LE(points_of(dom.output, id), 2u * 904) << id;
  }
  EXPECT_EQ(count(dom.output, "class=\"exit\""), 0u);  // too many to mark at full view
  EXPECT_NE(text_of(dom.output, "marks-note").find("20000 trades in this range: zoom in"),
            std::string::npos);
  EXPECT_EQ(body_rows(dom.output, "trades"), 50u);  // a page at a time
  EXPECT_EQ(text_of(dom.output, "page"), "page 1 of 400 (20000 trades)");

  // Zoomed to a thousandth of the year: the trades there are marked.
  const BrowserRun zoomed = load("year", url + "#view=0.5,0.501", "--dump-dom", 1000);
  ASSERT_EQ(zoomed.exit_code, 0);
  const std::size_t marks = count(zoomed.output, "class=\"exit\"");
  EXPECT_GE(marks, 15u);
  EXPECT_LE(marks, 30u);
  EXPECT_NE(text_of(zoomed.output, "zoom-range").find("(zoomed)"), std::string::npos);
}

TEST_F(InBrowser, DashboardShowsTheRunFromTheJsonRoutes) {
  FakeApp app;
  BacktestResult running = sample_result();  // a report taken during the run
  running.open_position.emplace("p3", "FPT", PositionSide::LONG, 3, 102.5, minute(9));
  running.open_position->update_price(104);
  json::object report = report_json(running);
  app.trades = report.at("trades").as_array();
  app.report = std::move(report);
  for (int i = 0; i < 25; ++i)  // more than the page lists
    app.orders.push_back(json::object{{"orderID", "o" + std::to_string(i)},
                                      {"symbol", "FPT"},
                                      {"side", i % 2 ? "S" : "B"},
                                      {"price", 100.5 + i},
                                      {"qty", 1},
                                      {"status", "FILLED"},
                                      {"createdTime", 1704186000000 + 60000 * i}});

  tolbu_sdk::APIServer::Options options;
  options.host = "127.0.0.1";
  tolbu_sdk::APIServer server(app, 0, options);
  server.start();
  ASSERT_TRUE(server.wait_until_listening(std::chrono::seconds(5)));
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/dashboard";

  const BrowserRun dom = load("dashboard", url, "--dump-dom", 3000);
  ASSERT_EQ(dom.exit_code, 0) << dom.output.substr(0, 500);
  EXPECT_EQ(points_of(dom.output, "equity-series"), 10u);
  EXPECT_EQ(text_of(dom.output, "status"), "RUNNING");
  EXPECT_EQ(text_of(dom.output, "progress-text"), "42.5 %");
  EXPECT_EQ(text_of(dom.output, "pnl"), "3.00");  // net: the equity's change
  EXPECT_EQ(text_of(dom.output, "drawdown"), "2.00 (0.2 %)");
  EXPECT_EQ(text_of(dom.output, "return"), "0.30 %");
  EXPECT_EQ(text_of(dom.output, "costs"), "0.00 + 0.00");
  EXPECT_EQ(text_of(dom.output, "trade-count"), "2");
  EXPECT_NE(text_of(dom.output, "position").find("LONG 3 FPT @ 102.50"), std::string::npos);
  EXPECT_EQ(body_rows(dom.output, "orders"), 20u);
  EXPECT_EQ(body_rows(dom.output, "trades"), 2u);
  EXPECT_NE(dom.output.find("&lt;b&gt;not markup&lt;/b&gt;"), std::string::npos);
  EXPECT_NE(dom.output.find("09:02:00 | INFO     | coloured"),
            std::string::npos);  // no colour codes
  EXPECT_EQ(dom.output.find("[0m"), std::string::npos);
  EXPECT_EQ(text_of(dom.output, "connection"), "");
  EXPECT_FALSE(app.locked([&] { return app.limits.empty(); }));

  const fs::path shot = ARTIFACTS / "dashboard.png";
  fs::remove(shot);
  const BrowserRun screenshot = load("dashboard", url, "--screenshot=" + shot.string(), 3000);
  EXPECT_EQ(screenshot.exit_code, 0);
  EXPECT_TRUE(is_png(shot)) << shot;

  // A live runtime's ledger: a P&L curve instead of equity, nothing open, nothing listed.
  app.locked([&] {
    app.status = "STOPPED";
    app.report = json::parse(R"({"metrics": {"trades": 1, "total_pnl": -4.25},
      "equity_curve": [{"time": "09:00", "pnl": 0.0}, {"time": "09:01", "pnl": 1.5},
                       {"time": "09:02", "pnl": -4.25}], "open_position": null})");
    app.orders.clear();
    app.trades.clear();
  });
  const BrowserRun live = load("dashboard", url, "--dump-dom", 3000);
  ASSERT_EQ(live.exit_code, 0);
  EXPECT_EQ(points_of(live.output, "equity-series"), 3u);
  EXPECT_EQ(text_of(live.output, "status"), "STOPPED");
  EXPECT_EQ(text_of(live.output, "pnl"), "-4.25");
  EXPECT_EQ(text_of(live.output, "position"), "none");
  EXPECT_EQ(body_rows(live.output, "orders"), 1u);  // "none yet"
  EXPECT_NE(live.output.find("none yet"), std::string::npos);

  // An account of billions: its axis labels still fit the margin.
  app.locked([&] {
    app.report = json::parse(R"({"metrics": {"trades": 0}, "equity_curve": [
      {"time": "09:00", "equity": 12345678901.5}, {"time": "09:01", "equity": 12346678901.5}]})");
  });
  const BrowserRun rich = load("dashboard", url, "--dump-dom", 3000);
  ASSERT_EQ(rich.exit_code, 0);
  EXPECT_EQ(text_of(rich.output, "equity-high"), "12.3467G");
  EXPECT_EQ(text_of(rich.output, "equity-low"), "12.3457G");
  server.shutdown();
}

}  // namespace

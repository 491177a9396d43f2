// MarketDataService against tolbu-sim over loopback: URLs, headers, log lines, failure rules.

#include "log_capture.hpp"
#include "sim_process.hpp"
#include "tolbu_sdk/errors.hpp"
#include "tolbu_sdk/features/prices.hpp"

#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/json.hpp>

namespace json = boost::json;
using tolbu_sdk::TolbuConfig;
using tolbu_sdk::features::MarketDataService;
using tolbu_sdk::platform::make_local;
using tolbu_test::SimProcess;
using namespace std::chrono_literals;

namespace {

using tolbu_test::kStart;

class MarketDataTest : public ::testing::Test {
 protected:
  SimProcess sim{{"--speed", "0", "--start-ms", std::to_string(kStart)}};
  TolbuConfig config =
      TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(), sim.ws_url(), sim.jwt());
  tolbu_test::LogCapture logs{"tolbu_sdk.features.prices"};

  json::array journal() const {
    return json::parse(sim.get("/_sim/journal").body).at("requests").as_array();
  }
  std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (const auto& entry : journal()) out.emplace_back(entry.at("target").as_string());
    return out;
  }
  void fault(const std::string& answer) const {
    ASSERT_EQ(sim.post("/_sim/faults", answer).status, 200);
  }
  // The next answer on a path prefix: 200 with this JSON text.
  void answer(const std::string& prefix, const std::string& body) const {
    fault(json::serialize(json::object{{"status", 200}, {"body", body}, {"path_prefix", prefix}}));
  }
};

std::vector<std::string> own_headers(const json::value& entry) {
  std::vector<std::string> names;
  for (const auto& [name, value] : entry.at("headers").as_object()) {
    if (name != "Host") names.emplace_back(name);
  }
  return names;
}

}  // namespace

TEST_F(MarketDataTest, FetchCandlesUrlCountBackAndNoHeaders) {
  MarketDataService service(config);
  auto candles = service.fetch_candles("ABC", 60, 1000, 2000);
  service.fetch_candles("ABC", 60, 1000, 2000, false, 500);
  service.fetch_candles("ABC", 60, 1000, 2000, false, 0);
  EXPECT_EQ(paths(), (std::vector<std::string>{"/GetOhlcvHis/ABC/60/1000/2000",
                                               "/GetOhlcvHis/ABC/60/1000/2000/500",
                                               "/GetOhlcvHis/ABC/60/1000/2000"}));
  // Candle history goes out unauthenticated even though a token is configured.
  for (const auto& entry : journal()) EXPECT_TRUE(own_headers(entry).empty());
}

TEST_F(MarketDataTest, FetchCandlesDecodesTheSimsHistory) {
  MarketDataService service(config);
  auto candles = service.fetch_candles("HPG", 300, kStart - 3'600'000, kStart);
  auto raw = json::parse(sim.get("/GetOhlcvHis/HPG/300/" + std::to_string(kStart - 3'600'000) +
                                 "/" + std::to_string(kStart))
                             .body)
                 .as_array();
  ASSERT_EQ(candles.size(), 13u);
  ASSERT_EQ(candles.size(), raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    EXPECT_EQ(candles[i].time, raw[i].at("time").to_number<std::int64_t>());
    EXPECT_EQ(candles[i].close, raw[i].at("close").to_number<double>());
    EXPECT_EQ(candles[i].volume, raw[i].at("volume").to_number<double>());
  }
  auto last_two = service.fetch_candles("HPG", 300, 0, kStart, false, 2);
  ASSERT_EQ(last_two.size(), 2u);
  EXPECT_EQ(last_two.back(), candles.back());
}

TEST_F(MarketDataTest, DividePriceScalesPricesButNotVolume) {
  MarketDataService service(config);
  const std::string body =
      R"([{"time": 1, "open": 500, "high": 600, "low": 400, "close": 550, "volume": 7}])";
  answer("/GetOhlcvHis/", body);
  answer("/GetOhlcvHis/", body);
  auto divided = service.fetch_candles("CW1", 60, 0, 10, true);
  auto plain = service.fetch_candles("CW1", 60, 0, 10, false);
  ASSERT_EQ(divided.size(), 1u);
  EXPECT_DOUBLE_EQ(divided[0].open, 0.5);
  EXPECT_DOUBLE_EQ(divided[0].high, 0.6);
  EXPECT_DOUBLE_EQ(divided[0].low, 0.4);
  EXPECT_DOUBLE_EQ(divided[0].close, 0.55);
  EXPECT_EQ(divided[0].volume, 7.0);
  EXPECT_EQ(plain[0].open, 500.0);
  EXPECT_EQ(plain[0].close, 550.0);
}

TEST_F(MarketDataTest, UnsuccessfulStatusLogsAndGivesNothing) {
  MarketDataService service(config);
  std::string long_body(500, 'e');
  long_body.replace(0, 5, "start");
  fault(json::serialize(json::object{{"status", 500}, {"body", long_body}}));
  EXPECT_TRUE(service.fetch_candles("HPG", 60, 0, 10).empty());
  fault(R"({"status": 404, "body": "{\"error\": \"no\"}"})");
  EXPECT_TRUE(service.fetch_candles("HPG", 60, 0, 10).empty());
  fault(R"({"status": 503, "body": ""})");
  EXPECT_TRUE(service.fetch_candles("HPG", 60, 0, 10).empty());

  std::string url = sim.base_url() + "/GetOhlcvHis/HPG/60/0/10";
  auto errors = logs.messages("ERROR");
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0], "Request failed: 500 Internal Server Error | URL: " + url +
                           " | Response: " + long_body.substr(0, 200));
  EXPECT_EQ(errors[1],
            "Request failed: 404 Not Found | URL: " + url + R"( | Response: {"error": "no"})");
  EXPECT_EQ(errors[2], "Request failed: 503 Service Unavailable | URL: " + url + " | Response: ");
}

TEST_F(MarketDataTest, EmptyArrayIsNoDataAndUndecodableAnswersPropagate) {
  MarketDataService service(config);
  answer("/GetOhlcvHis/", "[]");
  EXPECT_TRUE(service.fetch_candles("HPG", 60, 0, kStart).empty());
  answer("/GetOhlcvHis/", "<html>maintenance</html>");
  EXPECT_THROW(service.fetch_candles("HPG", 60, 0, kStart), tolbu_sdk::ValueError);
  answer("/GetOhlcvHis/", "");
  EXPECT_THROW(service.fetch_candles("HPG", 60, 0, kStart), tolbu_sdk::ValueError);
  answer("/GetOhlcvHis/", R"({"time": 1})");
  EXPECT_THROW(service.fetch_candles("HPG", 60, 0, kStart), tolbu_sdk::TypeError);
  answer("/GetOhlcvHis/", R"([{"time": 1, "open": "x"}])");
  EXPECT_ANY_THROW(service.fetch_candles("HPG", 60, 0, kStart));
  EXPECT_TRUE(logs.messages("ERROR").empty());
}

TEST_F(MarketDataTest, PathSegmentsArePercentEncoded) {
  MarketDataService service(config);
  // Without encoding this symbol would reach another resource or lose its query part.
  auto candles = service.fetch_candles("A/B?C#D%E F", 60, kStart - 120'000, kStart);
  EXPECT_EQ(candles.size(), 3u);
  service.get_product_master("../../orders");
  auto targets = paths();
  EXPECT_EQ(targets[0], "/GetOhlcvHis/A%2FB%3FC%23D%25E%20F/60/" +
                            std::to_string(kStart - 120'000) + "/" + std::to_string(kStart));
  EXPECT_EQ(targets[1], "/api/v1/MarketData/GetProductMaster/..%2F..%2Forders");
  EXPECT_EQ(service.fetch_candles("VN30F2412", 60, kStart, kStart).size(), 1u);
  EXPECT_EQ(paths()[2],
            "/GetOhlcvHis/VN30F2412/60/" + std::to_string(kStart) + "/" + std::to_string(kStart))
      << "ordinary codes are unchanged on the wire";
}

TEST(MarketDataLatest, MinuteCandleWhenTheLastDayHasOne) {
  SimProcess sim({"--speed", "0"});  // the clock stands at the real time
  auto config =
      TolbuConfig::from_endpoints(sim.base_url(), sim.base_url(), sim.ws_url(), sim.jwt());
  MarketDataService service(config);
  auto price = service.get_latest_price("FPT");
  ASSERT_TRUE(price.has_value());
  auto now = json::parse(sim.get("/_sim/clock").body).at("time_ms").as_int64();
  auto last = json::parse(sim.get("/GetOhlcvHis/FPT/60/0/" + std::to_string(now) + "/1").body);
  EXPECT_EQ(*price, last.at(0).at("close").to_number<double>());
  auto entries = json::parse(sim.get("/_sim/journal?path_prefix=/GetOhlcvHis/FPT/60/").body)
                     .at("requests")
                     .as_array();
  EXPECT_EQ(entries.size(), 2u) << "one request of the service, one of this test";
}

TEST_F(MarketDataTest, LatestPriceFallsBackToDailyCandlesOfTheSameWindow) {
  MarketDataService service(config);
  answer("/GetOhlcvHis/HPG/60/", "[]");
  answer("/GetOhlcvHis/HPG/86400/",
         R"([{"time": 1, "open": 1, "high": 2, "low": 1, "close": 1.5},
             {"time": 2, "open": 1, "high": 2, "low": 1, "close": 1.75}])");
  EXPECT_EQ(service.get_latest_price("HPG"), 1.75);
  auto targets = paths();
  ASSERT_EQ(targets.size(), 2u);
  auto segments = [](const std::string& target) {
    std::vector<std::string> out;
    std::size_t start = 1;
    for (auto slash = target.find('/', start);; slash = target.find('/', start)) {
      out.push_back(target.substr(start, slash - start));
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
    return out;
  };
  auto minute = segments(targets[0]), daily = segments(targets[1]);
  ASSERT_EQ(minute.size(), 5u);
  EXPECT_EQ(minute[2], "60");
  EXPECT_EQ(daily[2], "86400");
  EXPECT_EQ(std::stoll(minute[4]) - std::stoll(minute[3]), 86'400'000);
  EXPECT_EQ(minute[3], daily[3]);
  EXPECT_EQ(minute[4], daily[4]);

  // Neither has data (the frozen clock lies in the past): absent after two requests.
  EXPECT_EQ(service.get_latest_price("VIC"), std::nullopt);
  EXPECT_EQ(paths().size(), 4u);
}

TEST_F(MarketDataTest, ClosingPriceAsksForTheWholeLocalDay) {
  MarketDataService service(config);
  auto price = service.get_closing_price("VIC", make_local(2024, 11, 28, 15, 30, 12, 345678));
  ASSERT_TRUE(price.has_value());
  const std::int64_t midnight = 1732752000000;  // 2024-11-28T00:00:00 (TZ=UTC)
  EXPECT_EQ(paths().at(0), "/GetOhlcvHis/VIC/86400/" + std::to_string(midnight) + "/" +
                               std::to_string(midnight + 86'399'999));
  auto day = service.fetch_candles("VIC", 86400, midnight, midnight);
  EXPECT_EQ(*price, day.at(0).close);

  auto daily = service.get_daily_candles("VIC", make_local(2024, 11, 1, 0, 0, 0, 1500),
                                         make_local(2024, 11, 3, 12));
  EXPECT_EQ(paths().back(), "/GetOhlcvHis/VIC/86400/1730419200001/1730635200000")
      << "converted exactly, truncated to milliseconds";
  EXPECT_EQ(daily.size(), 2u);
}

TEST_F(MarketDataTest, ClosingPricesSkipSymbolsWithoutData) {
  MarketDataService service(config);
  answer("/GetOhlcvHis/B/", "[]");
  auto prices = service.get_closing_prices({"A", "B"}, make_local(2024, 11, 28));
  ASSERT_EQ(prices.size(), 1u);
  EXPECT_TRUE(prices.contains("A"));
  EXPECT_EQ(paths().size(), 2u);

  // An error aborts the whole call.
  answer("/GetOhlcvHis/B/", "not json");
  EXPECT_THROW(service.get_closing_prices({"A", "B"}, make_local(2024, 11, 28)),
               tolbu_sdk::ValueError);
}

TEST_F(MarketDataTest, ProductMasterIsAuthenticatedWithExactlyTwoHeaders) {
  MarketDataService service(config);
  auto master = service.get_product_master("VN30F2412");
  ASSERT_TRUE(master.has_value());
  EXPECT_EQ(master->symbol, "VN30F2412");
  ASSERT_TRUE(master->info.has_value());
  EXPECT_EQ(master->info->tick_size, 0.1);
  EXPECT_EQ(master->info->lot_size, 1);
  EXPECT_EQ(master->info->currency, "VND");
  auto entry = journal().at(0);
  EXPECT_EQ(own_headers(entry), (std::vector<std::string>{"Content-Type", "Authorization"}));
  EXPECT_EQ(entry.at("headers").at("Content-Type"), "application/json");
  EXPECT_EQ(entry.at("headers").at("Authorization").as_string(), "Bearer " + sim.jwt());

  // Unknown instrument: 404, logged, absent.
  EXPECT_EQ(service.get_product_master("NOPE"), std::nullopt);
  EXPECT_EQ(logs.messages("ERROR").size(), 1u);
}

TEST_F(MarketDataTest, ProductMasterReadsDataOnlyWhenItIsAnObject) {
  MarketDataService service(config);
  answer("/api/", R"({"symbol": "TOP", "data": "text"})");
  EXPECT_EQ(service.get_product_master("X")->symbol, "TOP");
  answer("/api/", R"({"symbol": "TOP2", "data": [1, 2]})");
  EXPECT_EQ(service.get_product_master("X")->symbol, "TOP2");
  answer("/api/", R"({"symbol": "TOP3", "name": "no data key"})");
  EXPECT_EQ(service.get_product_master("X")->name, "no data key");
  answer("/api/", R"({})");
  EXPECT_EQ(service.get_product_master("X"), std::nullopt);
  answer("/api/", R"([1])");
  EXPECT_THROW(service.get_product_master("X"), tolbu_sdk::TypeError);
}

TEST_F(MarketDataTest, MissingTokenWarnsAndSendsNoHeader) {
  TolbuConfig anonymous = config;
  anonymous.jwt_token = "";
  MarketDataService service(anonymous);
  EXPECT_EQ(service.get_product_master("HPG"), std::nullopt);
  std::string url = sim.base_url() + "/api/v1/MarketData/GetProductMaster/HPG";
  EXPECT_TRUE(logs.contains("WARNING", "Authenticated request to " + url + " missing JWT token"));
  EXPECT_TRUE(
      logs.contains("ERROR", "Request failed: 401 Unauthorized | URL: " + url +
                                 R"( | Response: {"error": "Invalid or missing bearer token"})"));
  EXPECT_TRUE(own_headers(journal().at(0)).empty());
}

TEST_F(MarketDataTest, BaseUrlsAreCopiedButTheTokenIsReadEachTime) {
  TolbuConfig mutable_config = config;
  MarketDataService service(mutable_config);
  mutable_config.rest_api_url = "http://127.0.0.1:1";
  mutable_config.micro_api_url = "http://127.0.0.1:1";
  mutable_config.jwt_token = "refreshed";
  service.get_product_master("HPG");
  service.fetch_candles("HPG", 60, 0, 1);
  auto entries = journal();
  ASSERT_EQ(entries.size(), 2u) << "both reached the sim";
  EXPECT_EQ(entries[0].at("headers").at("Authorization"), "Bearer refreshed");
}

TEST_F(MarketDataTest, MarginRateFromTheAnswerOrItsDefault) {
  MarketDataService service(config);
  EXPECT_EQ(service.get_margin_rate("VN30F2412"), 0.17);
  EXPECT_EQ(service.get_margin_rate("HPG"), 0.5);
  answer("/api/", R"({"data": {"marginRatio": 0.2}})");
  EXPECT_EQ(service.get_margin_rate("HPG"), 0.2);
  answer("/api/", R"({"marginRatio": "0.3"})");
  EXPECT_EQ(service.get_margin_rate("HPG"), 0.3);
  answer("/api/", R"({"data": {}})");
  EXPECT_EQ(service.get_margin_rate("VN30F2412"), 1.0);
  answer("/api/", R"({"other": 1})");
  EXPECT_EQ(service.get_margin_rate("VN30F2412"), 1.0);
  EXPECT_TRUE(logs.messages("WARNING").empty());
}

TEST_F(MarketDataTest, MarginRateFallsBackOnAnyTrouble) {
  MarketDataService service(config);
  answer("/api/", R"({"marginRatio": null})");
  EXPECT_EQ(service.get_margin_rate("VN30F2412"), 0.15);
  answer("/api/", R"({"marginRatio": "abc"})");
  EXPECT_EQ(service.get_margin_rate("HPG"), 1.0);
  answer("/api/", R"({"marginRatio": "nan"})");
  EXPECT_EQ(service.get_margin_rate("HPG"), 1.0) << "a NaN ratio is not a ratio";
  answer("/api/", R"({"marginRatio": "0x10"})");
  EXPECT_EQ(service.get_margin_rate("HPG"), 1.0) << "decimal text only";
  answer("/api/", R"([0.4])");
  EXPECT_EQ(service.get_margin_rate("XF"), 0.15);
  answer("/api/", "<html/>");
  EXPECT_EQ(service.get_margin_rate("HPG"), 1.0);
  auto warnings = logs.messages("WARNING");
  ASSERT_EQ(warnings.size(), 6u);
  EXPECT_EQ(warnings[0].rfind("Failed to fetch margin rate for VN30F2412: ", 0), 0u) << warnings[0];

  logs.clear();
  fault(R"({"status": 500, "body": "down"})");
  EXPECT_EQ(service.get_margin_rate("VN30F2412"), 0.15);
  fault(R"({"status": 500, "body": "down"})");
  EXPECT_EQ(service.get_margin_rate("HPG"), 1.0);
  EXPECT_TRUE(logs.messages("WARNING").empty()) << "an unsuccessful status only logs its error";

  // Transport failures are caught too.
  TolbuConfig dead = config;
  dead.rest_api_url = "http://127.0.0.1:1";
  MarketDataService unreachable(dead);
  EXPECT_EQ(unreachable.get_margin_rate("HPG"), 1.0);
  EXPECT_EQ(logs.messages("WARNING").size(), 1u);
}

TEST(MarketDataFallback, VN30OrCapitalFSelectsTheFuturesRatio) {
  EXPECT_EQ(MarketDataService::fallback_margin_rate("VN30F2412"), 0.15);
  EXPECT_EQ(MarketDataService::fallback_margin_rate("VN30"), 0.15);
  EXPECT_EQ(MarketDataService::fallback_margin_rate("FPT"), 0.15);
  EXPECT_EQ(MarketDataService::fallback_margin_rate("fpt"), 1.0);
  EXPECT_EQ(MarketDataService::fallback_margin_rate("vn30"), 1.0);
  EXPECT_EQ(MarketDataService::fallback_margin_rate("HPG"), 1.0);
}

TEST_F(MarketDataTest, TimeoutsAndRefusedConnectionsPropagateAsTransportErrors) {
  MarketDataService service(config, {.stall_timeout = 200ms});
  fault(R"({"delay_ms": 5000})");
  EXPECT_THROW(service.fetch_candles("HPG", 60, 0, 10), tolbu_sdk::TransportError);
  TolbuConfig dead = config;
  dead.micro_api_url = "http://127.0.0.1:1";
  MarketDataService unreachable(dead);
  EXPECT_THROW(unreachable.fetch_candles("HPG", 60, 0, 10), tolbu_sdk::TransportError);
  EXPECT_THROW(unreachable.get_latest_price("HPG"), tolbu_sdk::TransportError);
  EXPECT_TRUE(logs.messages("ERROR").empty());
}

TEST_F(MarketDataTest, AwaitedTwinsGiveWhatTheBlockingFormsGive) {
  MarketDataService service(config);
  boost::asio::io_context loop;
  auto run = [&](auto operation) {
    auto future = boost::asio::co_spawn(loop, std::move(operation), boost::asio::use_future);
    loop.restart();
    loop.run();
    return future.get();
  };
  EXPECT_EQ(run(service.async_get_margin_rate("VN30F2412")), service.get_margin_rate("VN30F2412"));
  auto master = run(service.async_get_product_master("HPG"));
  ASSERT_TRUE(master.has_value());
  EXPECT_EQ(master, service.get_product_master("HPG"));
  auto candles = run(service.async_fetch_candles("HPG", 60, 0, 600000, true));
  EXPECT_EQ(candles, service.fetch_candles("HPG", 60, 0, 600000, true));
  auto entries = journal();
  ASSERT_EQ(entries.size(), 6u);
  for (std::size_t i = 0; i < 6; i += 2) {
    EXPECT_EQ(entries[i].at("target"), entries[i + 1].at("target"));
    EXPECT_EQ(entries[i].at("headers"), entries[i + 1].at("headers"));
  }
  answer("/api/", R"({"marginRatio": "0x10"})");
  EXPECT_EQ(run(service.async_get_margin_rate("HPG")), 1.0);
  EXPECT_EQ(logs.messages("WARNING").size(), 1u);
}

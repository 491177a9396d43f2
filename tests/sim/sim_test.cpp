// tolbu-sim's own behaviour, over loopback: what tests of the SDK rely on.

#include "sim_process.hpp"

#include <gtest/gtest.h>
#include <boost/json.hpp>

#include <algorithm>
#include <cmath>

namespace json = boost::json;
using tolbu_test::SimProcess;

namespace {

using tolbu_test::kStart;

json::value body_of(const tolbu_test::HttpReply& reply) { return json::parse(reply.body); }

std::string auth_get(const SimProcess& sim, const std::string& path, int& status) {
  // The fixture's client sends no Authorization: authenticated paths answer 401.
  auto reply = sim.get(path);
  status = reply.status;
  return reply.body;
}

}  // namespace

TEST(SimProcess, PrintsPortAndAnswersHealth) {
  SimProcess sim({"--speed", "0"});
  ASSERT_GT(sim.port(), 0);
  auto reply = sim.get("/_sim/health");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(body_of(reply).at("port").as_int64(), sim.port());
}

TEST(SimProcess, RestartKeepsThePort) {
  SimProcess sim({"--speed", "0"});
  int port = sim.port();
  sim.restart();
  EXPECT_EQ(sim.port(), port);
  EXPECT_EQ(sim.get("/_sim/health").status, 200);
  sim.stop();
  EXPECT_THROW(sim.get("/_sim/health"), std::runtime_error);
}

TEST(SimCandles, SameSeedSameHistoryOtherSeedOther) {
  std::string path =
      "/GetOhlcvHis/HPG/60/" + std::to_string(kStart - 3600000) + "/" + std::to_string(kStart);
  SimProcess a({"--speed", "0", "--seed", "7", "--start-ms", std::to_string(kStart)});
  SimProcess b({"--speed", "0", "--seed", "7", "--start-ms", std::to_string(kStart)});
  SimProcess c({"--speed", "0", "--seed", "8", "--start-ms", std::to_string(kStart)});
  auto ra = a.get(path), rb = b.get(path), rc = c.get(path);
  ASSERT_EQ(ra.status, 200);
  EXPECT_EQ(ra.body, rb.body);
  EXPECT_NE(ra.body, rc.body);
  auto candles = body_of(ra).as_array();
  ASSERT_EQ(candles.size(), 61u);  // both ends included
  std::int64_t t = kStart - 3600000;
  for (const auto& v : candles) {
    const auto& candle = v.as_object();
    EXPECT_EQ(candle.at("time").to_number<std::int64_t>(), t);
    double open = candle.at("open").to_number<double>(),
           high = candle.at("high").to_number<double>(), low = candle.at("low").to_number<double>(),
           close = candle.at("close").to_number<double>();
    EXPECT_LE(low, std::min(open, close));
    EXPECT_GE(high, std::max(open, close));
    EXPECT_EQ(std::fmod(close, 50.0), 0.0) << "HPG trades on a 50 VND grid";
    t += 60000;
  }
}

TEST(SimCandles, CountBackEndsAtTheLastCandleAndStopsAtTheClock) {
  SimProcess sim({"--speed", "0", "--start-ms", std::to_string(kStart)});
  auto reply = sim.get("/GetOhlcvHis/FPT/300/0/" + std::to_string(kStart + 86400000) + "/4");
  ASSERT_EQ(reply.status, 200);
  auto candles = body_of(reply).as_array();
  ASSERT_EQ(candles.size(), 4u);
  // Nothing after the market clock: the last candle is the one forming at kStart.
  EXPECT_EQ(candles.back().at("time").to_number<std::int64_t>(), kStart);
  EXPECT_EQ(candles.front().at("time").to_number<std::int64_t>(), kStart - 3 * 300000);

  EXPECT_EQ(sim.get("/GetOhlcvHis/FPT/0/0/1000").status, 400);
  EXPECT_EQ(sim.get("/GetOhlcvHis/FPT/60/abc/1000").status, 400);
  EXPECT_EQ(sim.get("/GetOhlcvHis/FPT/60/1000").status, 404);
  EXPECT_EQ(body_of(sim.get("/GetOhlcvHis/FPT/60/2000/1000")).as_array().size(), 0u);
}

TEST(SimCandles, LimitsTheAnswerSize) {
  SimProcess sim({"--speed", "0", "--start-ms", std::to_string(kStart), "--max-candles", "100"});
  auto reply = sim.get("/GetOhlcvHis/VIC/1/0/" + std::to_string(kStart));
  EXPECT_EQ(reply.status, 400);
  EXPECT_NE(body_of(reply).at("error").as_string().find("limit"), json::string::npos);
}

TEST(SimAuth, AuthenticatedPathsAnswer401WithAJsonError) {
  SimProcess sim({"--speed", "0"});
  int status = 0;
  auto body = auth_get(sim, "/api/v1/orders", status);
  EXPECT_EQ(status, 401);
  EXPECT_TRUE(json::parse(body).as_object().contains("error"));
  // The candle path of the micro API is open.
  EXPECT_EQ(sim.get("/GetOhlcvHis/HPG/60/0/1000").status, 200);
}

TEST(SimJournal, RecordsRequestsButNotTestEndpoints) {
  SimProcess sim({"--speed", "0"});
  sim.get("/GetOhlcvHis/HPG/60/0/1000");
  sim.post("/api/v1/stop-orders", R"({"a": 1})");
  auto entries = body_of(sim.get("/_sim/journal")).at("requests").as_array();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].at("method"), "GET");
  EXPECT_EQ(entries[0].at("path"), "/GetOhlcvHis/HPG/60/0/1000");
  EXPECT_EQ(entries[1].at("method"), "POST");
  EXPECT_EQ(entries[1].at("body"), R"({"a": 1})");
  EXPECT_EQ(entries[1].at("headers").at("Content-Type"), "application/json");

  auto filtered = body_of(sim.get("/_sim/journal?path_prefix=/api/")).at("requests").as_array();
  EXPECT_EQ(filtered.size(), 1u);
  EXPECT_EQ(sim.del("/_sim/journal").status, 200);
  EXPECT_EQ(body_of(sim.get("/_sim/journal")).at("requests").as_array().size(), 0u);
}

TEST(SimFaults, NextAnswersFollowTheScriptThenTheRealOnes) {
  SimProcess sim({"--speed", "0"});
  ASSERT_EQ(sim.post("/_sim/faults", R"({"count": 2, "status": 502, "body": "<html>bad</html>",
                                         "content_type": "text/html",
                                         "path_prefix": "/GetOhlcvHis/"})")
                .status,
            200);
  EXPECT_EQ(sim.get("/api/v1/orders").status, 401) << "other paths are not faulted";
  auto first = sim.get("/GetOhlcvHis/HPG/60/0/1000");
  EXPECT_EQ(first.status, 502);
  EXPECT_EQ(first.body, "<html>bad</html>");
  EXPECT_EQ(sim.get("/GetOhlcvHis/HPG/60/0/1000").status, 502);
  EXPECT_EQ(sim.get("/GetOhlcvHis/HPG/60/0/1000").status, 200);

  EXPECT_EQ(sim.post("/_sim/faults", R"({"count": 0})").status, 400);
  EXPECT_EQ(sim.post("/_sim/faults", R"({"status": "x"})").status, 400);
  EXPECT_EQ(sim.post("/_sim/faults", "not json").status, 400);
}

TEST(SimFaults, DropClosesWithoutAnswer) {
  SimProcess sim({"--speed", "0"});
  sim.post("/_sim/faults", R"({"drop": true})");
  EXPECT_THROW(sim.get("/GetOhlcvHis/HPG/60/0/1000"), std::runtime_error);
  EXPECT_EQ(sim.get("/GetOhlcvHis/HPG/60/0/1000").status, 200);
}

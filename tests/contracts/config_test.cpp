#include "tolbu_sdk/config.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tolbu_sdk/errors.hpp"

using namespace tolbu_sdk;

TEST(TolbuConfig, BuiltInAndExplicitEndpoints) {
  TolbuConfig c = TolbuConfig::from_defaults();
  EXPECT_EQ(c.rest_api_url, std::string("https://") + utils::DEFAULT_BACKEND_SERVER);
  EXPECT_EQ(c.micro_api_url, utils::DEFAULT_MICRO_CONTROL);
  EXPECT_EQ(c.streaming_ws, utils::DEFAULT_STREAMING_WS);
  EXPECT_EQ(c, TolbuConfig{});
  EXPECT_FALSE(c.has_token());
  c.jwt_token = "";
  EXPECT_FALSE(c.has_token());  // an empty token is no token
  EXPECT_TRUE(TolbuConfig::from_defaults("tok").has_token());

  auto e = TolbuConfig::from_endpoints("http://127.0.0.1:8080/", "http://127.0.0.1:8080/micro//",
                                       "ws://127.0.0.1:8080/connection/websocket", "jwt");
  EXPECT_EQ(e.rest_api_url, "http://127.0.0.1:8080");  // appended paths stay well formed
  EXPECT_EQ(e.micro_api_url, "http://127.0.0.1:8080/micro");
  EXPECT_EQ(e.streaming_ws, "ws://127.0.0.1:8080/connection/websocket");
  EXPECT_EQ(e.jwt_token, "jwt");

  for (auto [rest, micro, ws] : {std::tuple{"", "http://h", "ws://h"},
                                 {"http://h", "ftp://h", "ws://h"},
                                 {"http://h", "http://h", "http://h"},
                                 {"https:///", "http://h", "ws://h"}})
    EXPECT_THROW(TolbuConfig::from_endpoints(rest, micro, ws), ValueError) << rest << micro << ws;
  try {
    TolbuConfig::from_endpoints("http://h", "http://h", "tcp://h");
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("streaming_ws"), std::string::npos) << e.what();
  }
}

TEST(ChannelConstants, DistinctNamesAndResolutionsInSeconds) {
  EXPECT_EQ(std::string(Channels::ORDER) + ":" + DataTypes::MARGIN_CALL + ":USER123",
            "order:MarginCall:USER123");
  EXPECT_EQ((std::set<std::string>{Channels::MARKET, Channels::ORDER, Channels::ALGO}.size()), 3u);
  std::set<std::string> types{DataTypes::DEPTH,        DataTypes::OHLCV,
                              DataTypes::PRODUCT_INFO, DataTypes::PRODUCT_STAT,
                              DataTypes::TRADE_LOG,    DataTypes::ORDER_EXECUTION_REPORT,
                              DataTypes::MARGIN_CALL,  DataTypes::ALGO_MASTER,
                              DataTypes::ALGO_ORDER,   DataTypes::ALGO_POSITION};
  EXPECT_EQ(types.size(), 10u);
  for (const std::string& t : types) EXPECT_EQ(t.find(':'), std::string::npos) << t;
  const int seconds[] = {TimeResolution::SECOND_1,  TimeResolution::MINUTE_1,
                         TimeResolution::MINUTE_5,  TimeResolution::MINUTE_15,
                         TimeResolution::MINUTE_30, TimeResolution::HOUR_1,
                         TimeResolution::DAY_1};
  EXPECT_EQ(std::vector<int>(std::begin(seconds), std::end(seconds)),
            (std::vector<int>{1, 60, 300, 900, 1800, 3600, 86400}));
}

#include "tolbu_sdk/config.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tolbu_sdk/errors.hpp"

using tolbu_sdk::Channels;
using tolbu_sdk::DataTypes;
using tolbu_sdk::TimeResolution;
using tolbu_sdk::TolbuConfig;
using tolbu_sdk::ValueError;

TEST(TolbuConfig, DefaultsComeFromTheDefaultsModule) {
  TolbuConfig c;
  EXPECT_EQ(c.rest_api_url, "https://api.tolbu.example");
  EXPECT_EQ(c.micro_api_url, "https://micro.tolbu.example");
  EXPECT_EQ(c.streaming_ws, "wss://stream.tolbu.example/connection/websocket");
  EXPECT_FALSE(c.jwt_token.has_value());
  EXPECT_FALSE(c.has_token());
  EXPECT_EQ(TolbuConfig::from_defaults(), c);

  TolbuConfig t = TolbuConfig::from_defaults("tok");
  EXPECT_EQ(t.rest_api_url, c.rest_api_url);
  EXPECT_TRUE(t.has_token());
  t.jwt_token = "";
  EXPECT_FALSE(t.has_token());  // an empty token is no token
}

TEST(TolbuConfig, ExplicitEndpointsAreCheckedAndTrimmed) {
  auto c = TolbuConfig::from_endpoints("http://127.0.0.1:8080/", "http://127.0.0.1:8080/micro//",
                                       "ws://127.0.0.1:8080/connection/websocket", "jwt");
  EXPECT_EQ(c.rest_api_url, "http://127.0.0.1:8080");
  EXPECT_EQ(c.micro_api_url, "http://127.0.0.1:8080/micro");
  EXPECT_EQ(c.streaming_ws, "ws://127.0.0.1:8080/connection/websocket");
  EXPECT_EQ(c.jwt_token, "jwt");

  EXPECT_THROW(TolbuConfig::from_endpoints("", "http://h", "ws://h"), ValueError);
  EXPECT_THROW(TolbuConfig::from_endpoints("http://h", "ftp://h", "ws://h"), ValueError);
  EXPECT_THROW(TolbuConfig::from_endpoints("http://h", "http://h", "http://h"), ValueError);
  EXPECT_THROW(TolbuConfig::from_endpoints("https:///", "http://h", "ws://h"), ValueError);
  try {
    TolbuConfig::from_endpoints("http://h", "http://h", "tcp://h");
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("streaming_ws"), std::string::npos) << e.what();
  }
}

TEST(ChannelConstants, NamesAreDistinctAndResolutionsInSeconds) {
  EXPECT_EQ(std::string(Channels::ORDER) + ":" + DataTypes::MARGIN_CALL + ":USER123",
            "order:MarginCall:USER123");
  std::set<std::string> channels{Channels::MARKET, Channels::ORDER, Channels::ALGO};
  EXPECT_EQ(channels.size(), 3u);
  std::set<std::string> types{DataTypes::DEPTH,        DataTypes::OHLCV,
                              DataTypes::PRODUCT_INFO, DataTypes::PRODUCT_STAT,
                              DataTypes::TRADE_LOG,    DataTypes::ORDER_EXECUTION_REPORT,
                              DataTypes::MARGIN_CALL,  DataTypes::ALGO_MASTER,
                              DataTypes::ALGO_ORDER,   DataTypes::ALGO_POSITION};
  EXPECT_EQ(types.size(), 10u);
  for (const std::string& t : types) EXPECT_EQ(t.find(':'), std::string::npos) << t;

  EXPECT_EQ(TimeResolution::SECOND_1, 1);
  EXPECT_EQ(TimeResolution::MINUTE_1, 60);
  EXPECT_EQ(TimeResolution::MINUTE_5, 300);
  EXPECT_EQ(TimeResolution::MINUTE_15, 900);
  EXPECT_EQ(TimeResolution::MINUTE_30, 1800);
  EXPECT_EQ(TimeResolution::HOUR_1, 3600);
  EXPECT_EQ(TimeResolution::DAY_1, 86400);
}

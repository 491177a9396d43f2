#include "tolbu_sdk/utils/defaults.hpp"

#include <gtest/gtest.h>
#include <boost/url/parse.hpp>

#include <set>
#include <string>
#include <string_view>
#include <type_traits>

namespace d = tolbu_sdk::utils;

// Counts and sizes stay integers; every other number is a double, whole ones included.
static_assert(std::is_same_v<decltype(d::DEFAULT_MAX_OPEN_POSITIONS), const int>);
static_assert(std::is_same_v<decltype(d::DEFAULT_MAX_ORDER_QTY), const int>);
static_assert(std::is_same_v<decltype(d::DEFAULT_SLIPPAGE_TICKS), const int>);
static_assert(std::is_same_v<decltype(d::DEFAULT_LOG_MAX_SIZE_MB), const int>);
static_assert(std::is_same_v<decltype(d::DEFAULT_LOG_BACKUP_COUNT), const int>);
static_assert(std::is_same_v<decltype(d::DEFAULT_MAX_DAILY_LOSS), const double>);
static_assert(std::is_same_v<decltype(d::DEFAULT_MAX_DAILY_PROFIT), const double>);
static_assert(std::is_same_v<decltype(d::DEFAULT_MAX_POSITION_LOSS_PCT), const double>);
static_assert(std::is_same_v<decltype(d::DEFAULT_MAX_POSITION_PROFIT_PCT), const double>);
static_assert(std::is_same_v<decltype(d::DEFAULT_MAX_DRAWDOWN_PCT), const double>);
static_assert(std::is_same_v<decltype(d::DEFAULT_TRAILING_STOP_PCT), const double>);
static_assert(std::is_same_v<decltype(d::DEFAULT_INITIAL_CAPITAL), const double>);
static_assert(std::is_same_v<decltype(d::DEFAULT_COMMISSION_PCT), const double>);

namespace {

struct Url {
  std::string scheme, host, port, path;
};

Url parse(const char* text) {
  auto r = boost::urls::parse_absolute_uri(text);
  EXPECT_TRUE(r.has_value()) << text;
  if (!r) return {};
  return {std::string(r->scheme()), std::string(r->host()), std::string(r->port()),
          std::string(r->path())};
}

bool bare_host(std::string_view h) {
  return !h.empty() && h.find_first_of(":/?#") == std::string_view::npos;
}

}  // namespace

TEST(Defaults, NumbersHaveTheirValues) {
  EXPECT_EQ(d::DEFAULT_MAX_DAILY_LOSS, 10000.0);
  EXPECT_EQ(d::DEFAULT_MAX_DAILY_PROFIT, 50000.0);
  EXPECT_EQ(d::DEFAULT_MAX_POSITION_LOSS_PCT, 5.0);
  EXPECT_EQ(d::DEFAULT_MAX_POSITION_PROFIT_PCT, 10.0);
  EXPECT_EQ(d::DEFAULT_MAX_OPEN_POSITIONS, 10);
  EXPECT_EQ(d::DEFAULT_MAX_ORDER_QTY, 1000);
  EXPECT_EQ(d::DEFAULT_MAX_DRAWDOWN_PCT, 15.0);
  EXPECT_EQ(d::DEFAULT_TRAILING_STOP_PCT, 2.0);
  EXPECT_EQ(d::DEFAULT_INITIAL_CAPITAL, 100000.0);
  EXPECT_EQ(d::DEFAULT_COMMISSION_PCT, 0.1);
  EXPECT_EQ(d::DEFAULT_SLIPPAGE_TICKS, 1);
  EXPECT_EQ(d::DEFAULT_LOG_MAX_SIZE_MB, 10);
  EXPECT_EQ(d::DEFAULT_LOG_BACKUP_COUNT, 5);
}

TEST(Defaults, TextsAndRelativeLogPaths) {
  EXPECT_EQ(std::string(d::DEFAULT_PROTOCOL), "https");
  EXPECT_EQ(std::string(d::DEFAULT_STORAGE_TOKEN_KEY), "tolbu_session_token");
  EXPECT_EQ(std::string(d::DEFAULT_LOG_LEVEL), "DEBUG");
  EXPECT_EQ(std::string(d::DEFAULT_LOG_FILE), "logs/tolbu_strategy.log");
  EXPECT_EQ(std::string(d::DEFAULT_WARN_LOG_FILE), "logs/warn.log");
  EXPECT_EQ(std::string(d::DEFAULT_STREAM_LOG_FILE), "logs/stream.log");
  std::string doc = d::DEFAULTS_DOC;
  EXPECT_EQ(doc.rfind("Default configuration for Tolbu Algo SDK.", 0), 0u);
  EXPECT_NE(doc.find("Contains hardcoded server URLs - no environment variables needed."),
            std::string::npos);
}

TEST(Defaults, EndpointsHaveTheirSchemesPathsAndFourHosts) {
  EXPECT_TRUE(bare_host(d::DEFAULT_BACKEND_SERVER));
  EXPECT_TRUE(bare_host(d::DEFAULT_STATIC_SERVER));

  Url auth = parse(d::DEFAULT_AUTH_SERVER);
  EXPECT_EQ(auth.scheme, "https");
  EXPECT_EQ(auth.host, d::DEFAULT_BACKEND_SERVER);
  EXPECT_EQ(auth.path, "/api/authen");

  Url micro = parse(d::DEFAULT_MICRO_CONTROL);
  EXPECT_EQ(micro.scheme, "https");
  EXPECT_EQ(micro.path, "");  // scheme and host only, no trailing slash
  EXPECT_EQ(std::string(d::DEFAULT_MICRO_CONTROL), "https://" + micro.host);

  Url ws = parse(d::DEFAULT_STREAMING_WS);
  Url http = parse(d::DEFAULT_STREAMING_HTTP);
  Url sse = parse(d::DEFAULT_STREAMING_SSE);
  EXPECT_EQ(ws.scheme, "wss");
  EXPECT_EQ(ws.path, "/connection/websocket");
  EXPECT_EQ(http.scheme, "https");
  EXPECT_EQ(http.path, "/connection/http_stream");
  EXPECT_EQ(sse.scheme, "https");
  EXPECT_EQ(sse.path, "/connection/sse");
  EXPECT_EQ(http.host, ws.host);
  EXPECT_EQ(sse.host, ws.host);
  for (const Url& u : {auth, micro, ws, http, sse}) EXPECT_EQ(u.port, "");

  std::set<std::string> hosts{d::DEFAULT_BACKEND_SERVER, micro.host, d::DEFAULT_STATIC_SERVER,
                              ws.host};
  EXPECT_EQ(hosts.size(), 4u);
  for (const std::string& h : hosts) EXPECT_TRUE(h.ends_with(".example")) << h;
}

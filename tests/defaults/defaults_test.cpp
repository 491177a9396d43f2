#include "tolbu_sdk/utils/defaults.hpp"

#include <gtest/gtest.h>
#include <boost/url/parse.hpp>

#include <set>
#include <string>
#include <type_traits>

namespace d = tolbu_sdk::utils;

// Counts and sizes stay integers; every other number is a double, whole ones included.
template <class T, class... V>
constexpr bool all_of_type = (std::is_same_v<V, const T> && ...);
static_assert(
    all_of_type<int, decltype(d::DEFAULT_MAX_OPEN_POSITIONS), decltype(d::DEFAULT_MAX_ORDER_QTY),
                decltype(d::DEFAULT_SLIPPAGE_TICKS), decltype(d::DEFAULT_LOG_MAX_SIZE_MB),
                decltype(d::DEFAULT_LOG_BACKUP_COUNT)>);
static_assert(
    all_of_type<double, decltype(d::DEFAULT_MAX_DAILY_LOSS), decltype(d::DEFAULT_MAX_DAILY_PROFIT),
                decltype(d::DEFAULT_MAX_POSITION_LOSS_PCT),
                decltype(d::DEFAULT_MAX_POSITION_PROFIT_PCT), decltype(d::DEFAULT_MAX_DRAWDOWN_PCT),
                decltype(d::DEFAULT_TRAILING_STOP_PCT), decltype(d::DEFAULT_INITIAL_CAPITAL),
                decltype(d::DEFAULT_COMMISSION_PCT)>);

TEST(Defaults, DocumentationAndRelativeLogPaths) {
  const std::string doc = d::DEFAULTS_DOC;
  EXPECT_EQ(doc.rfind("Default configuration for Tolbu Algo SDK.", 0), 0u);
  EXPECT_NE(doc.find("Contains hardcoded server URLs - no environment variables needed."),
            std::string::npos);
  for (std::string path :
       {d::DEFAULT_LOG_FILE, d::DEFAULT_WARN_LOG_FILE, d::DEFAULT_STREAM_LOG_FILE})
    EXPECT_TRUE(path.starts_with("logs/")) << path;
}

TEST(Defaults, EndpointsHaveTheirSchemesPathsAndFourHosts) {
  struct Url {
    std::string scheme, host, port, path;
  };
  auto parse = [](const char* text) {
    auto r = boost::urls::parse_absolute_uri(text);
    EXPECT_TRUE(r.has_value()) << text;
    return r ? Url{std::string(r->scheme()), std::string(r->host()), std::string(r->port()),
                   std::string(r->path())}
             : Url{};
  };
  for (std::string host : {d::DEFAULT_BACKEND_SERVER, d::DEFAULT_STATIC_SERVER})
    EXPECT_TRUE(!host.empty() && host.find_first_of(":/?#") == std::string::npos) << host;

  Url auth = parse(d::DEFAULT_AUTH_SERVER), micro = parse(d::DEFAULT_MICRO_CONTROL);
  Url ws = parse(d::DEFAULT_STREAMING_WS), http = parse(d::DEFAULT_STREAMING_HTTP),
      sse = parse(d::DEFAULT_STREAMING_SSE);
  EXPECT_EQ(auth.scheme + " " + auth.host + auth.path,
            std::string("https ") + d::DEFAULT_BACKEND_SERVER + "/api/authen");
  EXPECT_EQ(std::string(d::DEFAULT_MICRO_CONTROL), "https://" + micro.host);  // no path, no "/"
  EXPECT_EQ(ws.scheme + " " + ws.path, "wss /connection/websocket");
  EXPECT_EQ(http.scheme + " " + http.path, "https /connection/http_stream");
  EXPECT_EQ(sse.scheme + " " + sse.path, "https /connection/sse");
  EXPECT_EQ(http.host, ws.host);
  EXPECT_EQ(sse.host, ws.host);
  for (const Url& u : {auth, micro, ws, http, sse}) EXPECT_EQ(u.port, "");

  std::set<std::string> hosts{d::DEFAULT_BACKEND_SERVER, micro.host, d::DEFAULT_STATIC_SERVER,
                              ws.host};
  EXPECT_EQ(hosts.size(), 4u);
  for (const std::string& h : hosts) EXPECT_TRUE(h.ends_with(".example")) << h;
}
